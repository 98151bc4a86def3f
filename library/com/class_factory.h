// The class factory of the library's one COM class; CreateInstance hands out the
// activation object.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

class ClassFactory final : public IClassFactory {
public:
    // Count 1; adds one to ObjectCount.
    ClassFactory() noexcept;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept override;
    STDMETHODIMP LockServer(BOOL lock) noexcept override;

private:
    ~ClassFactory();

    std::atomic<ULONG> refCount{1};
};

// DllGetClassObject's work: a new factory for the library's class identifier.
HRESULT GetSourceClassObject(REFCLSID classId, REFIID iid, void** object) noexcept;
