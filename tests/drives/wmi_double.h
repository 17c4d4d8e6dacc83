// A stand-in for the WMI service: real COM objects behind the WMI interfaces that hand the
// program rows a test chooses and record how they were called. Objects belong to the test;
// Release only counts, so a test can see every reference given back.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace wd {

template <class Interface> class Counted : public Interface {
  public:
    LONG refs = 0;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

  protected:
    HRESULT Give(REFIID iid, REFIID own, void* self, void** out)
    {
        *out = nullptr;
        if (iid != IID_IUnknown && iid != own)
            return E_NOINTERFACE;
        *out = self;
        AddRef();
        return S_OK;
    }
};

// A bare counted object, to hand out as a property of an unexpected type.
class Token : public Counted<IUnknown> {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return Give(iid, IID_IUnknown, this, out);
    }
};

// A value as a row holds it.
inline VARIANT Empty(VARTYPE type)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    return v;
}
inline VARIANT Bool(bool value)
{
    VARIANT v = Empty(VT_BOOL);
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
inline VARIANT Text(const wchar_t* value)
{
    VARIANT v = Empty(VT_BSTR);
    v.bstrVal = SysAllocString(value);
    return v;
}
inline VARIANT I4(int32_t value)
{
    VARIANT v = Empty(VT_I4);
    v.lVal = value;
    return v;
}
inline VARIANT Null()
{
    return Empty(VT_NULL);
}
inline VARIANT Object(IUnknown* value)
{
    VARIANT v = Empty(VT_UNKNOWN);
    v.punkVal = value;
    value->AddRef();
    return v;
}

// One Win32_DiskDrive instance; a property it does not hold answers WBEM_E_NOT_FOUND.
class Row : public Counted<IWbemClassObject> {
  public:
    std::map<std::wstring, VARIANT> properties;
    std::vector<std::wstring> reads; // property names asked for, in order

    ~Row()
    {
        for (auto& property : properties)
            VariantClear(&property.second);
    }
    void Set(const wchar_t* name, VARIANT value)
    {
        VariantClear(&properties[name]);
        properties[name] = value;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return Give(iid, IID_IWbemClassObject, this, out);
    }
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override
    {
        reads.push_back(name);
        auto found = properties.find(name);
        if (found == properties.end())
            return WBEM_E_NOT_FOUND;
        // Like the service, the holder is written without being cleared first.
        VariantInit(value);
        return VariantCopy(value, &found->second);
    }
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
};

// Hands out the rows of one query in order, one per call.
class Enumerator : public Counted<IEnumWbemClassObject> {
  public:
    std::vector<Row*> rows;
    size_t next = 0;
    std::vector<LONG> timeouts;
    std::vector<ULONG> counts;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return Give(iid, IID_IEnumWbemClassObject, this, out);
    }
    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override
    {
        timeouts.push_back(timeout);
        counts.push_back(count);
        *returned = 0;
        if (count == 0 || next >= rows.size())
            return WBEM_S_FALSE;
        objects[0] = rows[next++];
        objects[0]->AddRef();
        *returned = 1;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }
};

struct Blanket {
    DWORD authnService = 0xFFFF;
    DWORD authzService = 0xFFFF;
    const OLECHAR* principal = L"unset";
    DWORD authnLevel = 0xFFFF;
    DWORD impLevel = 0xFFFF;
    void* identity = reinterpret_cast<void*>(1);
    DWORD capabilities = 0xFFFF;
    int calls = 0;
};

struct Query {
    std::wstring language;
    std::wstring text;
    LONG flags = 0;
    IWbemContext* context = nullptr;
};

// The connection to the namespace. Every query gets a fresh enumerator over `rows`.
class Services : public Counted<IWbemServices> {
  public:
    class Security : public IClientSecurity {
      public:
        explicit Security(Services& owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
        {
            return owner_.QueryInterface(iid, out);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
        HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                               DWORD*) override
        {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                             DWORD imp, void* identity, DWORD caps) override
        {
            owner_.blanket = {authn, authz, principal, level, imp, identity, caps, owner_.blanket.calls + 1};
            return owner_.blanketResult;
        }
        HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

      private:
        Services& owner_;
    };

    std::vector<Row*> rows;
    HRESULT queryResult = WBEM_S_NO_ERROR;
    HRESULT blanketResult = S_OK;
    std::vector<Query> queries;
    std::vector<std::unique_ptr<Enumerator>> enumerators;
    Blanket blanket;
    Security security{*this};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IClientSecurity) {
            *out = static_cast<IClientSecurity*>(&security);
            AddRef();
            return S_OK;
        }
        return Give(iid, IID_IWbemServices, this, out);
    }
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                                        IEnumWbemClassObject** result) override
    {
        queries.push_back({language ? language : L"", query ? query : L"", flags, context});
        *result = nullptr;
        if (FAILED(queryResult))
            return queryResult;
        enumerators.push_back(std::make_unique<Enumerator>());
        enumerators.back()->rows = rows;
        enumerators.back()->AddRef();
        *result = enumerators.back().get();
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject**, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
};

struct Connection {
    std::wstring space;
    bool nullCredentials = false; // user, password, locale, authority and context all null
    LONG flags = -1;
    int calls = 0;
};

class Locator : public Counted<IWbemLocator> {
  public:
    Services* services = nullptr;
    HRESULT connectResult = WBEM_S_NO_ERROR;
    Connection connection;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return Give(iid, IID_IWbemLocator, this, out);
    }
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR space, const BSTR user, const BSTR password, const BSTR locale,
                                            LONG flags, const BSTR authority, IWbemContext* context,
                                            IWbemServices** result) override
    {
        connection = {space ? space : L"", !user && !password && !locale && !authority && !context, flags,
                      connection.calls + 1};
        *result = nullptr;
        if (FAILED(connectResult))
            return connectResult;
        services->AddRef();
        *result = services;
        return WBEM_S_NO_ERROR;
    }
};

// Makes CoCreateInstance of the WMI locator hand out `locator` for as long as it lives.
class LocatorClass : public Counted<IClassFactory> {
  public:
    Locator* locator = nullptr;
    HRESULT createResult = S_OK;

    explicit LocatorClass(Locator* served) : locator(served)
    {
        registered_ =
            CoRegisterClassObject(CLSID_WbemLocator, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    }
    ~LocatorClass()
    {
        if (SUCCEEDED(registered_))
            CoRevokeClassObject(cookie_);
    }
    HRESULT registered() const { return registered_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return Give(iid, IID_IClassFactory, this, out);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(createResult))
            return createResult;
        return locator->QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    HRESULT registered_ = E_FAIL;
    DWORD cookie_ = 0;
};

} // namespace wd
