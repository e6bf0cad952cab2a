// Owning smart pointer for one COM interface reference.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <utility>

template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    explicit ComPtr(T *p) : m_p(p) {}   // takes over a reference the caller owns
    ComPtr(ComPtr &&other) noexcept : m_p(other.Detach()) {}
    ComPtr &operator=(ComPtr &&other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    ~ComPtr() { Reset(); }

    // Adds a reference of its own to a borrowed pointer.
    static ComPtr Borrow(T *p)
    {
        if (p)
            p->AddRef();
        return ComPtr(p);
    }
    ComPtr Copy() const { return Borrow(m_p); }

    T *Get() const { return m_p; }
    T *operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // For out-parameters: releases what is held and hands out the slot.
    T **Receive()
    {
        Reset();
        return &m_p;
    }
    void **ReceiveVoid() { return reinterpret_cast<void **>(Receive()); }

    T *Detach()
    {
        T *p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset(T *p = nullptr)
    {
        T *old = m_p;
        m_p = p;
        if (old)
            old->Release();
    }

    template <class U>
    HRESULT QueryInto(REFIID iid, ComPtr<U> &out) const
    {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(iid, out.ReceiveVoid());
    }

private:
    T *m_p = nullptr;
};
