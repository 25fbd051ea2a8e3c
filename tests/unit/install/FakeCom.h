// Stand-ins for the filter mapper and the system device enumerator, put in place through
// the installation's creation seam. They pass calls on to Wine's real objects unless a
// test tells them to fail or throw, record every call, and count their references so
// that a test can see every reference released.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/InstallShared.h"

namespace FakeCom {

using Microsoft::WRL::ComPtr;

// Result of a hook that lets the call through to the real object.
constexpr HRESULT kPassThrough = 0x7FFF0001;

struct MapperCall {
    std::string method;  // "RegisterFilter" or "UnregisterFilter"
    GUID category = {};
    bool categoryNull = false;
    std::wstring name;
    std::wstring instance;
    CLSID filter = {};
    bool monikerOutNull = false;
    bool dataNull = false;
    DWORD version = 0;
    DWORD merit = 0;
    ULONG pins = 0;
    bool pinsNull = false;
};

// Counts references; the object itself lives as long as the test keeps it.
template <typename Interface>
class CCounted : public Interface {
public:
    LONG refs = 0;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == __uuidof(Interface)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
};

class CFakeMapper : public CCounted<IFilterMapper2> {
public:
    ComPtr<IFilterMapper2> real;
    std::vector<MapperCall> calls;
    // Decides a call's result (or throws); kPassThrough hands it to `real`.
    std::function<HRESULT(const MapperCall&)> hook;

    HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) override {
        MapperCall call;
        call.method = "UnregisterFilter";
        call.categoryNull = category == nullptr;
        if (category) call.category = *category;
        if (instance) call.instance = instance;
        call.filter = filter;
        calls.push_back(call);
        HRESULT hr = Decide(call);
        if (hr != kPassThrough) return hr;
        return real ? real->UnregisterFilter(category, instance, filter) : S_OK;
    }

    HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                                             LPCOLESTR instance, const REGFILTER2* data) override {
        MapperCall call;
        call.method = "RegisterFilter";
        call.filter = filter;
        if (name) call.name = name;
        call.monikerOutNull = moniker == nullptr;
        call.categoryNull = category == nullptr;
        if (category) call.category = *category;
        if (instance) call.instance = instance;
        call.dataNull = data == nullptr;
        if (data) {
            call.version = data->dwVersion;
            call.merit = data->dwMerit;
            call.pins = data->cPins;
            call.pinsNull = data->rgPins == nullptr;
        }
        calls.push_back(call);
        HRESULT hr = Decide(call);
        if (hr != kPassThrough) return hr;
        return real ? real->RegisterFilter(filter, name, moniker, category, instance, data) : S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumMoniker**, DWORD, WINBOOL, DWORD, WINBOOL, DWORD, const GUID*,
                                                  const REGPINMEDIUM*, const CLSID*, WINBOOL, WINBOOL, DWORD,
                                                  const GUID*, const REGPINMEDIUM*, const CLSID*) override {
        return E_NOTIMPL;
    }

    size_t Count(const std::string& method) const {
        size_t n = 0;
        for (const MapperCall& call : calls) n += call.method == method ? 1 : 0;
        return n;
    }

private:
    HRESULT Decide(const MapperCall& call) { return hook ? hook(call) : kPassThrough; }
};

// Passes enumeration on to the real moniker enumerator, counting its own references.
class CFakeEnumMoniker : public CCounted<IEnumMoniker> {
public:
    ComPtr<IEnumMoniker> real;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker** monikers, ULONG* fetched) override {
        return real->Next(count, monikers, fetched);
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return real->Skip(count); }
    HRESULT STDMETHODCALLTYPE Reset() override { return real->Reset(); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker**) override { return E_NOTIMPL; }
};

class CFakeDevEnum : public CCounted<ICreateDevEnum> {
public:
    ComPtr<ICreateDevEnum> real;
    CFakeEnumMoniker enumerator;
    std::vector<GUID> categories;
    std::vector<DWORD> flags;
    // Decides the result (or throws); kPassThrough asks `real` and wraps its enumerator.
    std::function<HRESULT(const GUID&)> hook;

    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker** result, DWORD flag) override {
        categories.push_back(category);
        flags.push_back(flag);
        *result = nullptr;
        HRESULT hr = hook ? hook(category) : kPassThrough;
        if (hr != kPassThrough) return hr;
        hr = real->CreateClassEnumerator(category, enumerator.real.ReleaseAndGetAddressOf(), flag);
        if (hr == S_OK) {
            *result = &enumerator;
            enumerator.AddRef();
        }
        return hr;
    }
};

struct Creation {
    CLSID clsid;
    bool outerNull;
    DWORD context;
    IID iid;
};

// What the creation seam hands out while a CFakeComScope is alive.
struct Factory {
    CFakeMapper mapper;
    CFakeDevEnum devEnum;
    HRESULT mapperResult = S_OK;   // a failure is returned instead of the mapper
    HRESULT devEnumResult = S_OK;  // the same for the device enumerator
    bool mapperThrows = false;
    std::vector<Creation> creations;
};

inline Factory*& CurrentFactory() {
    static Factory* factory = nullptr;
    return factory;
}

inline HRESULT WINAPI CreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    Factory& factory = *CurrentFactory();
    factory.creations.push_back({clsid, outer == nullptr, context, iid});
    *object = nullptr;
    if (clsid == CLSID_FilterMapper2) {
        if (factory.mapperThrows) throw std::runtime_error("mapper");
        if (FAILED(factory.mapperResult)) return factory.mapperResult;
        if (!factory.mapper.real)
            CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                             reinterpret_cast<void**>(factory.mapper.real.GetAddressOf()));
        return factory.mapper.QueryInterface(iid, object);
    }
    if (clsid == CLSID_SystemDeviceEnum) {
        if (FAILED(factory.devEnumResult)) return factory.devEnumResult;
        if (!factory.devEnum.real)
            CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                             reinterpret_cast<void**>(factory.devEnum.real.GetAddressOf()));
        return factory.devEnum.QueryInterface(iid, object);
    }
    return REGDB_E_CLASSNOTREG;
}

// Puts a fresh factory behind the seam for the life of the object.
class CFakeComScope {
public:
    CFakeComScope() {
        CurrentFactory() = &factory;
        InstallSeams::SetCreateInstance(&CreateInstance);
    }
    ~CFakeComScope() {
        InstallSeams::SetCreateInstance(nullptr);
        CurrentFactory() = nullptr;
    }
    CFakeComScope(const CFakeComScope&) = delete;
    CFakeComScope& operator=(const CFakeComScope&) = delete;

    Factory factory;
};

}  // namespace FakeCom
