// The one place where exceptions become status codes.
//
// Every flat function runs its body through translate(): a normal return
// gives Success and clears this thread's last error message; a GpuException
// is passed to the registered reporter (kind 1, unless the call is made
// with Reporting::Silent) and gives GpuError; a
// PowerErrorTooManyResults gives TooManyResults; anything else gives
// UnknownError. The message of every failure is kept per thread for
// getLastErrorMessage. No exception leaves a flat function.
#pragma once

#include <new>
#include <string>

#include "powergpu.hpp"

namespace powergpu::api {

void setLastErrorMessage(const char* message) noexcept;
void clearLastErrorMessage() noexcept;
const std::string& lastErrorMessage() noexcept;
void reportGpuError(const char* message) noexcept;

// Whether a GpuException reaches the reporter. Creating a module reports
// nothing: it answers null, and its message stays readable through
// getLastErrorMessage(NULL, ...).
enum class Reporting { Report, Silent };

template <Reporting reporting = Reporting::Report, typename Body>
PowerStatusCode translate(Body&& body) noexcept {
    try {
        body();
        clearLastErrorMessage();
        return PowerStatusCode::Success;
    } catch (const GpuException& error) {
        setLastErrorMessage(error.what());
        if (reporting == Reporting::Report) {
            reportGpuError(error.what());
        }
        return PowerStatusCode::GpuError;
    } catch (const PowerErrorTooManyResults& error) {
        setLastErrorMessage(error.what());
        return PowerStatusCode::TooManyResults;
    } catch (const std::bad_alloc&) {
        // The standard text ("std::bad_alloc") would tell a user nothing.
        setLastErrorMessage("out of host memory: the call needed more memory than the system could give");
        return PowerStatusCode::UnknownError;
    } catch (const std::exception& error) {
        setLastErrorMessage(error.what());
        return PowerStatusCode::UnknownError;
    } catch (...) {
        setLastErrorMessage("an unidentified failure occurred");
        return PowerStatusCode::UnknownError;
    }
}

// translate() for a call on a module; a null handle gives UnknownError.
template <typename Body>
PowerStatusCode onModule(PowerModuleHandle handle, Body&& body) noexcept {
    if (handle == nullptr) {
        setLastErrorMessage("the module handle is null");
        return PowerStatusCode::UnknownError;
    }
    return translate([&] { body(*handle); });
}

// Out-pointers must point somewhere; a null one rejects the call.
template <typename T>
T& required(T* pointer, const char* name) {
    if (pointer == nullptr) {
        throw PowerInvalidCall(std::string("the out-pointer '") + name + "' is null");
    }
    return *pointer;
}

}  // namespace powergpu::api
