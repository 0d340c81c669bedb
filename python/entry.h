// Every entry of the extension: running out of memory is a MemoryError that
// says how much was asked for, never an abort of the interpreter.
//
// A thread's first C++ throw makes libstdc++ allocate that thread's exception
// state (thread-local data of a library loaded after the process started);
// when the address space is already full that allocation fails, and glibc
// aborts the process rather than report it.  So the state is touched when the
// module is imported and on entry to every function, before anything of
// ours allocates: a throw later in the call finds it there.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace img3d_python {

// The declaration says the call has no effect (__attribute__((const))): its
// result goes to a volatile so that it is made.
inline void touch_exception_state() noexcept {
    abi::__cxa_eh_globals* volatile state = abi::__cxa_get_globals();
    (void)state;
}

// Out of memory, with what is known of the request; it holds no heap memory,
// so it can be thrown and reported when none is left.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::size_t bytes, const char* detail = nullptr) noexcept : bytes_(bytes) {
        if (detail != nullptr) std::snprintf(detail_, sizeof detail_, "%s", detail);
    }
    const char* what() const noexcept override { return "out of memory"; }

    // The message into text (a fixed buffer: formatting allocates nothing).
    void format(char* text, std::size_t size) const noexcept {
        if (detail_[0] != '\0')
            std::snprintf(text, size, "%s", detail_);
        else if (bytes_ > 0)
            std::snprintf(text, size, "out of memory: could not allocate %zu bytes", bytes_);
        else
            std::snprintf(text, size, "out of memory: the library could not allocate its working memory");
    }

private:
    std::size_t bytes_;
    char detail_[200] = {};
};

[[noreturn]] inline void out_of_memory(std::size_t bytes) { throw OutOfMemory(bytes); }

// Reports OutOfMemory as MemoryError; registered once at import.
inline void register_out_of_memory() {
    pybind11::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const OutOfMemory& e) {
            char text[240];
            e.format(text, sizeof text);
            PyErr_SetString(PyExc_MemoryError, text);
        } catch (const std::bad_alloc&) {
            PyErr_SetString(PyExc_MemoryError, "out of memory: the library could not allocate its working memory");
        }
    });
}

// f as an entry of the module: the exception state touched first; numpy's
// MemoryError kept with its text (which names the bytes), in the fixed
// buffer, so that reporting it needs nothing more.
template <class R, class... A>
auto entry(R (*f)(A...)) {
    return [f](A... args) -> R {
        touch_exception_state();
        try {
            return f(std::forward<A>(args)...);
        } catch (pybind11::error_already_set& e) {
            if (!e.matches(PyExc_MemoryError)) throw;
            const char* text = nullptr;
            try {
                text = e.what();
            } catch (...) {}
            if (text != nullptr && std::strncmp(text, "MemoryError: ", 13) == 0) text += 13;
            throw OutOfMemory(0, text != nullptr && *text != '\0' ? text : nullptr);
        }
    };
}

}  // namespace img3d_python
