#include "common/Platform.h"

#include "trust/TrustReport.h"

#include <atomic>

namespace {

std::atomic<ITrustObserver*> g_observer{nullptr};

}  // namespace

void SetTrustObserver(ITrustObserver* observer) { g_observer = observer; }
ITrustObserver* TrustObserver() { return g_observer; }
