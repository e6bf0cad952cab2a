// DispObject: the base of every stand-in Outlook/Office object. Implements
// IUnknown and IDispatch by name: members are registered at construction as
// properties (getter/setter handlers or a stored value) and methods (a handler
// that sees the arguments in natural order). Every call is recorded in the
// CallLog and can be made to fail through Faults. Further interfaces
// (IConnectionPointContainer, IOleWindow, a MAPI IMessage, ...) are attached
// as facets that share the object's identity and reference count.
#pragma once

#include "com/ComPtr.h"
#include "com/Resources.h"

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace host {

class DispObject;

// One call through Invoke as a member's handler sees it.
class Invocation
{
public:
    // Positional arguments in natural (source) order; a put's value is the last.
    size_t Count() const { return m_args.size(); }
    VARIANT &Arg(size_t i) const { return *m_args.at(i); }
    // Absent, or passed as the optional-argument marker (VT_ERROR DISP_E_PARAMNOTFOUND).
    bool IsMissing(size_t i) const;
    // Argument i converted to vt (by-reference values are followed); fails as VariantChangeType does.
    HRESULT ArgAs(size_t i, VARTYPE vt, Variant &out) const;
    // The value of a put (the argument named DISPID_PROPERTYPUT).
    VARIANT &Value() const { return *m_args.back(); }
    // A named argument other than DISPID_PROPERTYPUT, or null.
    VARIANT *Named(DISPID id) const;
    // Receives the value of a get or a method; handed to the caller on success.
    VARIANT *Result() const { return m_result; }
    LCID Lcid() const { return m_lcid; }
    WORD Flags() const { return m_flags; }

private:
    friend class DispObject;
    Invocation() = default;
    std::vector<VARIANT *> m_args;
    std::vector<std::pair<DISPID, VARIANT *>> m_named;
    VARIANT *m_result = nullptr;
    LCID m_lcid = 0;
    WORD m_flags = 0;
};

// A member's behaviour. Returns the HRESULT Invoke gives back; may throw
// (ComError gives its HRESULT, anything else E_FAIL): nothing crosses Invoke.
using Handler = std::function<HRESULT(Invocation &)>;

// An extra interface of a DispObject. Its IUnknown methods must delegate to
// Owner(), so the object keeps one identity and one reference count.
class Facet
{
public:
    explicit Facet(DispObject &owner) : m_owner(owner) {}
    Facet(const Facet &) = delete;
    Facet &operator=(const Facet &) = delete;
    virtual ~Facet() = default;
    // The interface pointer this facet gives for iid, or null; adds no reference.
    virtual void *InterfaceFor(REFIID iid) = 0;
    DispObject &Owner() const { return m_owner; }

private:
    DispObject &m_owner;
};

class DispObject : public IDispatch
{
public:
    // The count starts at 1, owned by the creator (see Create). `interfaces`
    // are answered in QueryInterface besides IUnknown and IDispatch.
    explicit DispObject(std::string name, std::vector<IID> interfaces = {});
    DispObject(const DispObject &) = delete;
    DispObject &operator=(const DispObject &) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                            DISPID *rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

    const std::string &Name() const { return m_name; }
    ULONG RefCount() const { return static_cast<ULONG>(m_cRef); }
    // DispObjects alive in this process: a test's leak check.
    static LONG LiveObjects();

    // Members. Names are matched without regard to case, as Office does; the
    // DISPID is assigned (from 1) unless given. Returns the DISPID.
    DISPID AddProperty(const std::string &name, Handler get, Handler put = Handler(), DISPID id = DISPID_UNKNOWN);
    // A property that holds a value: get returns a copy, put stores a copy.
    DISPID AddValue(const std::string &name, Variant initial = Variant(), DISPID id = DISPID_UNKNOWN);
    DISPID AddMethod(const std::string &name, Handler method, DISPID id = DISPID_UNKNOWN);
    // A member switched off is unknown to GetIDsOfNames and Invoke until switched on.
    void SetAvailable(const std::string &name, bool available);
    // The stored value of an AddValue property, read and written without a record.
    Variant Value(const std::string &name) const;
    void SetValue(const std::string &name, const VARIANT &value);

    void AddFacet(std::unique_ptr<Facet> facet);
    template <class F>
    F *FindFacet() const
    {
        for (const auto &facet : m_facets)
            if (F *f = dynamic_cast<F *>(facet.get()))
                return f;
        return nullptr;
    }

    // A reference the host holds for a short while (e.g. while it fires an
    // event), taken and given back without a record.
    class Pin
    {
    public:
        explicit Pin(DispObject &object);
        Pin(const Pin &) = delete;
        Pin &operator=(const Pin &) = delete;
        ~Pin();

    private:
        DispObject &m_object;
    };

protected:
    virtual ~DispObject();

private:
    struct Member
    {
        std::string name;
        DISPID id;
        bool isMethod;
        bool available;
        bool stored;
        Handler get;
        Handler put;
        Handler method;
        Variant value;
    };

    Member *FindByName(const wchar_t *name);
    Member *FindById(DISPID id);
    Member *FindStored(const std::string &name);
    DISPID AddMember(Member member);
    HRESULT InvokeMember(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS *pDispParams,
                         VARIANT *pVarResult);
    ULONG ReleaseQuietly();

    const std::string m_name;
    const std::vector<IID> m_interfaces;
    volatile LONG m_cRef = 1;
    std::vector<Member> m_members;
    DISPID m_nextId = 1;
    std::vector<std::unique_ptr<Facet>> m_facets;
};

// Creates a stand-in object; the pointer owns the creator's reference (null
// when out of memory).
template <class T, class... Args>
ComPtr<T> Create(Args &&...args)
{
    return ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

// A copy of a VARIANT (by-reference values are followed).
Variant CopyOf(const VARIANT &value);
// A VT_BSTR from narrow text.
Variant Str(const char *text);

} // namespace host
