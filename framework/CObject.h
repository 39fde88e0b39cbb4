#pragma once
#include <memory>

class CObject;

// Run-time class record: the class name, a factory making a default-constructed
// object (or none when the class cannot make one), and the base class record.
struct CRuntimeClass {
    const char* m_lpszClassName;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* m_pBaseClass;

    // A new object of exactly this class, or nullptr.
    CObject* CreateObject() const;
    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    virtual void Serialize() {}
    virtual void AssertValid() const {}
    virtual void Dump() const {}

    bool IsKindOf(const CRuntimeClass* cls) const;
    static const CRuntimeClass classCObject;
};

// Declares the class record of a class; DEFINE_* gives it a body.
#define DECLARE_DYNCREATE(cls)                                        \
public:                                                               \
    static const CRuntimeClass class##cls;                            \
    static CObject* CreateObject();                                   \
    const CRuntimeClass* GetRuntimeClass() const override { return &class##cls; }

#define IMPLEMENT_DYNCREATE(cls, base)                                \
    CObject* cls::CreateObject() { return new (std::nothrow) cls; }   \
    const CRuntimeClass cls::class##cls = {#cls, &cls::CreateObject, &base::class##base};

#define RUNTIME_CLASS(cls) (&cls::class##cls)
