// COM for the length of one call on the calling thread.
#pragma once

#include <objbase.h>

// Initialises COM in the asked apartment. Only our own successful
// initialisation is undone: after RPC_E_CHANGED_MODE the thread's apartment
// belongs to its owner, and COM is still usable in it.
class ComForThisCall {
public:
    explicit ComForThisCall(DWORD apartment = COINIT_MULTITHREADED) noexcept
        : result_(::CoInitializeEx(nullptr, apartment)) {}
    ~ComForThisCall() {
        if (result_ == S_OK || result_ == S_FALSE) ::CoUninitialize();
    }
    ComForThisCall(const ComForThisCall&) = delete;
    ComForThisCall& operator=(const ComForThisCall&) = delete;

    bool usable() const noexcept { return result_ == S_OK || result_ == S_FALSE || result_ == RPC_E_CHANGED_MODE; }
    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};
