#pragma once

// The C library's definition of a function this library wraps, looked up
// on first use. Two threads racing there store the same value, so no lock
// is needed.

#include <dlfcn.h>

namespace vboard::preload {

template <typename F>
F next_function(F& slot, const char* name)
{
    if (slot == nullptr) {
        slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    }
    return slot;
}

} // namespace vboard::preload

#define NEXT(name)                                                                                                     \
    ([]() {                                                                                                            \
        static decltype(&::name) slot = nullptr;                                                                       \
        return ::vboard::preload::next_function(slot, #name);                                                          \
    }())
