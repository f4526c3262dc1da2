// The last failure of each thread's handle-less C calls, and of each open
// sonx_file: what sonx_last_error and sonx_last_system_error tell.
#ifndef SONX_CAPI_LAST_ERROR_H
#define SONX_CAPI_LAST_ERROR_H

#include <string>

#include "sonx/sonx_c.h"

namespace sonx {

struct LastError {
    int status = SONX_OK;
    std::string text;
    int systemError = 0;  // errno of a failed system call, else 0
    std::string folder;   // where it failed, when not in the file's own folder
};

// The calling thread's record.
LastError& threadLastError();

// Records the outcome (SONX_OK clears the record) and returns its status.
int remember(LastError& slot, int status, const std::string& text);
int remember(int status, const std::string& text);
int rememberSystem(int status, const std::string& text, int systemError, const std::string& folder = "");

// Inside a catch block: records the exception being handled as the calling
// thread's failure, with a failed system call's number and folder.
int rememberCurrentFailure();

}  // namespace sonx

#endif  // SONX_CAPI_LAST_ERROR_H
