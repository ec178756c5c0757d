#include "common/Platform.h"

#include "trust/TrustEnvironment.h"

#include "trust/PolicyCheck.h"
#include "trust/TrustAnchors.h"

namespace {

// Made before the entry point runs, lives until the process ends.
CTrustEnvironment g_programEnvironment;

}  // namespace

CTrustEnvironment::CTrustEnvironment(ITrustObserver* observer, bool installPolicies, PolicyWaits waits)
    : m_observer(observer),
      m_installPolicies(installPolicies),
      m_policyCache(trust_anchors::kPolicySignerThumbprint, BuiltInTrustPolicy().version, observer, installPolicies,
                    waits)
{
}

CTrustEnvironment& CTrustEnvironment::Default() { return g_programEnvironment; }

const CTrustValidationContext& CTrustEnvironment::ValidationContext()
{
    std::call_once(m_contextMade, [this] { m_context = CreateTrustValidationContext(m_policyCache); });
    return m_context;
}
