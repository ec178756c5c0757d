// The telemetry client: a COM server of the framework, outside this program,
// that carries instrumentation requests to the cloud telemetry service.
// Fixed by the client: its class and interface identifiers, and that the
// interface's second own operation takes the request text as one BSTR and
// answers with an HRESULT. The first own operation is not used by this program.
#pragma once

#include "common/Platform.h"

#include <oleauto.h>
#include <unknwn.h>

// {B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}
inline constexpr CLSID CLSID_ZEPClient = {0xB62A9F7D, 0x4F97, 0x4740, {0x9E, 0xEE, 0x35, 0x54, 0xF2, 0xAD, 0x2E, 0x4B}};
// {861CEB0E-B6F3-4DA8-A7E7-DBC43D335628}
inline constexpr IID IID_IZEPClient = {0x861CEB0E, 0xB6F3, 0x4DA8, {0xA7, 0xE7, 0xDB, 0xC4, 0x3D, 0x33, 0x56, 0x28}};

struct IZEPClient : public IUnknown {
    // The client's version text (caller frees it with SysFreeString).
    virtual HRESULT STDMETHODCALLTYPE GetClientVersion(BSTR* version) = 0;
    // Hands one request text to the client.
    virtual HRESULT STDMETHODCALLTYPE ReportEvent(BSTR request) = 0;
};
