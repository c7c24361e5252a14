// The RAII family for Win32 resources: one owner per handle, buffer, descriptor or COM pointer.
// The "no handle" sentinel lives in the traits, so nullptr and INVALID_HANDLE_VALUE never get mixed up.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>
#include <objbase.h>

#include <utility>

namespace tess {

template <class Traits> class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept : value_(Traits::invalid()) {}
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] Value get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid())
            Traits::close(old);
    }
    // For out-parameters of Win32 calls: releases the current value first.
    Value* put() noexcept {
        reset();
        return &value_;
    }

  private:
    Value value_;
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { ::FindClose(h); }
};
template <class T> struct LocalMemoryTraits {
    using Value = T;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
template <class T> struct CoTaskMemoryTraits {
    using Value = T;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value p) noexcept { ::CoTaskMemFree(p); }
};
struct BcryptAlgorithmTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptKeyTraits {
    using Value = BCRYPT_KEY_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::BCryptDestroyKey(h); }
};
struct BcryptHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::BCryptDestroyHash(h); }
};
struct WinHttpTraits {
    using Value = HINTERNET;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::WinHttpCloseHandle(h); }
};
struct RegistryKeyTraits {
    using Value = HKEY;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::RegCloseKey(h); }
};
struct SocketTraits {
    using Value = SOCKET;
    static Value invalid() noexcept { return INVALID_SOCKET; }
    static void close(Value s) noexcept { ::closesocket(s); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
template <class T> using LocalMemory = UniqueHandle<LocalMemoryTraits<T>>;
template <class T> using CoTaskMemory = UniqueHandle<CoTaskMemoryTraits<T>>;
using BcryptAlgorithm = UniqueHandle<BcryptAlgorithmTraits>;
using BcryptKey = UniqueHandle<BcryptKeyTraits>;
using BcryptHash = UniqueHandle<BcryptHashTraits>;
using WinHttpHandle = UniqueHandle<WinHttpTraits>;
using RegistryKey = UniqueHandle<RegistryKeyTraits>;
using Socket = UniqueHandle<SocketTraits>;

// Owns one reference of a COM interface pointer.
template <class T> class ComPtr {
  public:
    ComPtr() noexcept = default;
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept {
        if (ptr_)
            std::exchange(ptr_, nullptr)->Release();
    }
    T** put() noexcept {
        reset();
        return &ptr_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

  private:
    T* ptr_ = nullptr;
};

// Balances a successful CoInitializeEx on the same thread.
class ComApartment {
  public:
    ComApartment() noexcept : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (initialized_)
            ::CoUninitialize();
    }

  private:
    bool initialized_;
};

} // namespace tess
