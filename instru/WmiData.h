// One WMI class query: the connection to a namespace and the first object of
// "SELECT * FROM <class>". The caller has initialised COM (multithreaded) on
// its thread. The WMI locator and the namespace connections are process-wide:
// made on first use, shared by every query, released at exit.
#pragma once

#include "common/Platform.h"
#include "common/UniqueHandle.h"

#include <wbemidl.h>
#include <wrl/client.h>

#include <memory>
#include <string>

class CWMI_Data {
public:
    // Connects to `nameSpace` (or reuses the process's connection) and runs
    // the class query. S_OK when the query ran, with the first object when
    // there is one (none when the class has no instance); a failing HRESULT
    // when the connection or the query failed, and `out` is left as it was.
    static HRESULT Create(const std::wstring& nameSpace, const std::wstring& className,
                          std::unique_ptr<CWMI_Data>& out);

    CWMI_Data(const CWMI_Data&) = delete;
    CWMI_Data& operator=(const CWMI_Data&) = delete;

    // The first object of the query; null when the class had no instance.
    IWbemClassObject* ClassObject() const { return m_classObject.Get(); }

    // Drops the process's locator and connections, so that the next query
    // connects anew (the process does this itself at exit).
    static void ReleaseConnections();

private:
    CWMI_Data() = default;
    [[nodiscard]] HRESULT runQuery(IWbemServices* services);

    ScopedBstr m_namespace;
    ScopedBstr m_className;
    Microsoft::WRL::ComPtr<IWbemClassObject> m_classObject;
};
