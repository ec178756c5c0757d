// der_diff: the program's TSTInfo reader against OpenSSL's (d2i_TS_TST_INFO)
// on the same bytes. Whenever OpenSSL reads the input as canonical DER (it
// writes the very same bytes back) and its genTime is in DER's form (X.690
// 11.7: seconds present, "Z", a fraction without trailing zeros), the program
// must read it too, with the same message imprint, the same hash algorithm
// identifier and, when OpenSSL makes a date of it, the same time to the
// second.
#include "fuzz/FuzzText.h"
#include "trust/SignedDataReader.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Free {
    void operator()(TS_TST_INFO* info) const { TS_TST_INFO_free(info); }
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }

// GeneralizedTime as DER writes it: YYYYMMDDhhmmss, an optional "." with
// digits of which the last is not 0, and "Z".
bool DerGeneralizedTime(const ASN1_GENERALIZEDTIME* time)
{
    const unsigned char* p = ASN1_STRING_get0_data(time);
    const size_t size = static_cast<size_t>(ASN1_STRING_length(time));
    if (size < 15 || p[size - 1] != 'Z') return false;
    for (size_t i = 0; i < 14; ++i) {
        if (!Digit(p[i])) return false;
    }
    if (size == 15) return true;
    if (p[14] != '.' || size < 17 || p[size - 2] == '0') return false;
    for (size_t i = 15; i + 1 < size; ++i) {
        if (!Digit(p[i])) return false;
    }
    return true;
}

std::string ObjectText(const ASN1_OBJECT* object)
{
    const int length = OBJ_obj2txt(nullptr, 0, object, 1);
    if (length <= 0) return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1);
    OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 1);
    return text.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The program's reader takes anything without harm; its answer is only
    // compared where OpenSSL's counts.
    der::TstInfo ours;
    const bool read = der::ReadTstInfo({data, size}, ours);

    const unsigned char* in = data;
    std::unique_ptr<TS_TST_INFO, Free> info(d2i_TS_TST_INFO(nullptr, &in, static_cast<long>(size)));
    if (!info) return 0;
    unsigned char* out = nullptr;
    const int written = i2d_TS_TST_INFO(info.get(), &out);
    std::unique_ptr<unsigned char, Free> encoded(out);
    if (written != static_cast<int>(size) || std::memcmp(out, data, size) != 0) return 0;
    const ASN1_GENERALIZEDTIME* genTime = TS_TST_INFO_get_time(info.get());
    if (!DerGeneralizedTime(genTime)) return 0;

    FUZZ_CHECK(read);
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(imprint);
    FUZZ_CHECK(ours.imprint.size == static_cast<size_t>(ASN1_STRING_length(digest)));
    FUZZ_CHECK(std::memcmp(ours.imprint.data, ASN1_STRING_get0_data(digest), ours.imprint.size) == 0);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    FUZZ_CHECK(ours.imprintHashOid == ObjectText(algorithm));

    std::tm theirs{};
    if (ASN1_TIME_to_tm(genTime, &theirs) == 1) {
        FUZZ_CHECK(ours.genTime.year == theirs.tm_year + 1900 && ours.genTime.month == theirs.tm_mon + 1 &&
                   ours.genTime.day == theirs.tm_mday && ours.genTime.hour == theirs.tm_hour &&
                   ours.genTime.minute == theirs.tm_min && ours.genTime.second == theirs.tm_sec);
    }
    return 0;
}
