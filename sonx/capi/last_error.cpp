#include "sonx/capi/last_error.h"

#include <new>

#include "sonx/component/status.h"
#include "sonx/fileio/safe_output.h"

namespace sonx {

LastError& threadLastError() {
    thread_local LastError record;
    return record;
}

int remember(LastError& slot, int status, const std::string& text) {
    slot.status = status;
    slot.text = status == SONX_OK ? std::string() : text;
    slot.systemError = 0;
    slot.folder.clear();
    return status;
}

int remember(int status, const std::string& text) { return remember(threadLastError(), status, text); }

int rememberSystem(int status, const std::string& text, int systemError, const std::string& folder) {
    LastError& slot = threadLastError();
    remember(slot, status, text);
    slot.systemError = systemError;
    slot.folder = folder;
    return status;
}

int rememberCurrentFailure() {
    try {
        throw;
    } catch (const SystemError& e) {
        return rememberSystem(e.status, e.what(), e.error, e.place);
    } catch (const StatusError& e) {
        return remember(e.status, e.what());
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    } catch (const std::exception& e) {
        return remember(SONX_ERR_FAILED, e.what());
    } catch (...) {
        return remember(SONX_ERR_FAILED, "Failed");
    }
}

}  // namespace sonx
