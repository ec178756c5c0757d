// Decides whether instrumentation is wanted on this machine ("ZepInstru"),
// finds the application id ("ZepInstruAppID") and hands an event record to
// the telemetry client. No failure reaches the caller: each step logs and returns.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <string>

class CQELInstru {
public:
    virtual ~CQELInstru() = default;

    // 0 (sent, or not wanted here), 87 for an empty record, 1012 without an application id.
    virtual DWORD SendInstrumentation(const StringMap& record);
    // "ZepInstru" read as a decimal number: non-zero means yes; unreadable means no.
    virtual bool isZEPEventRequired();
    // "ZepInstruAppID"; 0, or 1012 when it cannot be read.
    virtual DWORD getZEPAppID(std::wstring& appId);
    // Sends one request with COM initialised around the client call; always 0.
    virtual DWORD sendZEPEvents(const std::wstring& appId, const std::wstring& component,
                                const std::wstring& methodName, const std::wstring& timestamp,
                                const StringMap& record);

    // Now, as whole seconds since 1970-01-01 UTC in decimal.
    static std::wstring GetTimestamp();
};
