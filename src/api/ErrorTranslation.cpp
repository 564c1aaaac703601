#include "api/ErrorTranslation.h"

PowerErrorReporter reportErrorCallbackFunction = nullptr;  // declared with C linkage in powergpu.h

namespace powergpu::api {

namespace {

std::string& threadMessage() noexcept {
    thread_local std::string message;
    return message;
}

}  // namespace

void setLastErrorMessage(const char* message) noexcept {
    try {
        threadMessage() = message;
    } catch (...) {
        threadMessage().clear();  // no memory for the text; an empty message is still true
    }
}

void clearLastErrorMessage() noexcept { threadMessage().clear(); }

const std::string& lastErrorMessage() noexcept { return threadMessage(); }

void reportGpuError(const char* message) noexcept {
    const PowerErrorReporter reporter = reportErrorCallbackFunction;
    if (reporter == nullptr) {
        return;
    }
    try {
        reporter(1, message);
    } catch (...) {
        // A reporter that throws must not take the flat call down with it.
    }
}

}  // namespace powergpu::api
