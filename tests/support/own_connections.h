// A request handler for the document loader's tests: every request gets an HTTP connection of its
// own, without a proxy, which the test pumps and releases.
#pragma once

#include <vector>

#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"

namespace own_connections {

inline std::vector<WebGetConnection*>& List() {
    static std::vector<WebGetConnection*> connections;
    return connections;
}

inline int64_t Add(WebGetRequest* request) {
    WebGetConnection* connection = nullptr;
    WebGetConnection_Create(&connection);
    WebGetConnection_SetAllowProxy(connection, 0);
    List().push_back(connection);
    return WebGetConnection_RequestAdd(connection, request);
}

inline int64_t Remove(WebGetRequest*) {
    return 1;
}

inline void ProcessAll() {
    for (WebGetConnection* c : List()) WebGetConnection_Process(c);
}

inline void ReleaseAll() {
    for (WebGetConnection*& c : List()) WebGetConnection_Release(&c);
    List().clear();
}

} // namespace own_connections
