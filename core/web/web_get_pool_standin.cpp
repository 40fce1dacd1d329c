// Stand-in for the request pool until the real scheduler lands: it accepts nothing, so a loader
// that uses the default request handler ends its load as refused.
#include "core/web/web_get_pool.h"

int64_t WebGetPool_Init() {
    return 1;
}

int64_t WebGetPool_Remove() {
    return 1;
}

int64_t WebGetPool_RequestAdd(WebGetRequest*) {
    return 0;
}

int64_t WebGetPool_RequestRemove(WebGetRequest*) {
    return 0;
}

int64_t WebGetPool_Process() {
    return 0;
}
