// Owners of COM references and BSTRs: released however a scope ends.
#pragma once

#include <oleauto.h>
#include <windows.h>

#include <string>

template <typename T>
class com_ptr {
  public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For calls that hand out a new reference.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_ != nullptr) {
            p_->Release();
            p_ = nullptr;
        }
    }

  private:
    T* p_ = nullptr;
};

class bstr {
  public:
    explicit bstr(const std::wstring& text) : b_(SysAllocString(text.c_str())) {}
    ~bstr() { SysFreeString(b_); }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    BSTR get() const { return b_; }

  private:
    BSTR b_;
};

class variant {
  public:
    variant() { VariantInit(&v_); }
    ~variant() { VariantClear(&v_); }
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    VARIANT* get() { return &v_; }

  private:
    VARIANT v_;
};
