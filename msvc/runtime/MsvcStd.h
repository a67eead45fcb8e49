// The standard exception classes as the Visual C++ library lays them out: a
// vtable pointer (slot 0 the destructor, slot 1 what()) and the runtime's
// __std_exception_data, copied and freed by vcruntime140.dll. Their type
// descriptors (".?AVexception@std@@" and so on) are what a Visual C++
// program's catch compares, so an object thrown from here is caught there
// as std::exception, std::logic_error and its own class. Only for the face's
// sources and its test: a program uses its own <stdexcept>.
#pragma once

extern "C" {
struct __std_exception_data {
    const char* _What;
    bool _DoFree;
};
void __cdecl __std_exception_copy(const __std_exception_data* from, __std_exception_data* to);
void __cdecl __std_exception_destroy(__std_exception_data* data);
}

namespace std {

class exception {
public:
    exception() noexcept : _Data() {}
    explicit exception(const char* message) noexcept : _Data() {
        const __std_exception_data given = {message, true};
        __std_exception_copy(&given, &_Data);
    }
    // A static text, not copied.
    exception(const char* message, int) noexcept : _Data() { _Data._What = message; }
    exception(const exception& other) noexcept : _Data() {
        __std_exception_copy(&other._Data, &_Data);
    }
    exception& operator=(const exception& other) noexcept {
        if (this != &other) {
            __std_exception_destroy(&_Data);
            __std_exception_copy(&other._Data, &_Data);
        }
        return *this;
    }
    virtual ~exception() noexcept { __std_exception_destroy(&_Data); }
    virtual const char* what() const { return _Data._What ? _Data._What : "Unknown exception"; }

private:
    __std_exception_data _Data;
};

class bad_alloc : public exception {
public:
    bad_alloc() noexcept : exception("bad allocation", 1) {}
};

class logic_error : public exception {
public:
    explicit logic_error(const char* message) : exception(message) {}
};

class invalid_argument : public logic_error {
public:
    explicit invalid_argument(const char* message) : logic_error(message) {}
};

class out_of_range : public logic_error {
public:
    explicit out_of_range(const char* message) : logic_error(message) {}
};

} // namespace std
