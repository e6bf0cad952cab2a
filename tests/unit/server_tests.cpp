// The COM server entry, driven the way COM drives it: through the exports of the
// built QuorviaAddin.dll. The DLL's own log shows what happened and in which order.
// g_pAddin, which the DLL keeps to itself, is checked on this program's own copy
// of the class factory.

#include "addin/Addin.h"
#include "addin/AddinCF.h"
#include "addin/Extensibility.h"
#include "addin/Globals.h"
#include "com/Guids.h"
#include "log/DebugLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **);
using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE *)();

const IID kUnsupportedIid = {0x1C5C5A36, 0x0D4B, 0x4F8E, {0x9A, 0x61, 0x27, 0x33, 0x1E, 0x40, 0x5B, 0x77}};

class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DeleteFileA(test::WindowsLogPath().c_str());
        m_dll = LoadLibraryA("QuorviaAddin.dll");
        ASSERT_NE(nullptr, m_dll);
        m_getClassObject = test::GetExport<DllGetClassObjectFn>(m_dll, "DllGetClassObject");
        m_canUnloadNow = test::GetExport<DllCanUnloadNowFn>(m_dll, "DllCanUnloadNow");
        ASSERT_NE(nullptr, m_getClassObject);
        ASSERT_NE(nullptr, m_canUnloadNow);
    }

    // Unloading the DLL closes its log, which can then be removed.
    void TearDown() override
    {
        if (m_dll)
            FreeLibrary(m_dll);
        DeleteFileA(test::WindowsLogPath().c_str());
    }

    IClassFactory *Factory()
    {
        IClassFactory *factory = nullptr;
        EXPECT_EQ(S_OK, m_getClassObject(CLSID_QuorviaAddin, IID_IClassFactory, reinterpret_cast<void **>(&factory)));
        return factory;
    }

    static std::string UnloadLine(long components, long locks, long objects)
    {
        return "DllCanUnloadNow: g_cComponents=" + std::to_string(components) + ", g_cLocks=" + std::to_string(locks) +
               ", g_lMyObjects=" + std::to_string(objects);
    }

    // The DLL's log since it opened: exactly one header, then these lines.
    static void ExpectLog(const std::vector<std::string> &expected)
    {
        std::optional<std::string> bytes = test::ReadFileBytes(test::WindowsLogPath());
        if (expected.empty()) {
            EXPECT_FALSE(bytes.has_value()) << "the DLL wrote a log";
            return;
        }
        ASSERT_TRUE(bytes.has_value()) << "the DLL wrote no log";
        std::vector<std::string> lines = test::SplitCrLfLines(*bytes);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
        EXPECT_EQ(expected, std::vector<std::string>(lines.begin() + 1, lines.end()));
    }

    HMODULE m_dll = nullptr;
    DllGetClassObjectFn m_getClassObject = nullptr;
    DllCanUnloadNowFn m_canUnloadNow = nullptr;
};

TEST_F(ServerTest, ClassObjectRequestsThatAreRefused)
{
    const CLSID otherClsid = {0x6F3B2C1A, 0x9D4E, 0x4B7A, {0x8C, 0x21, 0x5E, 0x0F, 0x7A, 0x9B, 0x3D, 0x65}};
    struct Case
    {
        const char *what;
        const CLSID *clsid;
        const IID *iid;
        HRESULT expected;
    } cases[] = {
        {"another class", &otherClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {"no class at all", &GUID_NULL, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        {"the add-in's class, an interface a factory lacks", &CLSID_QuorviaAddin, &kUnsupportedIid, E_NOINTERFACE},
        {"the add-in's class, the add-in's own interface", &CLSID_QuorviaAddin, &IID_IDTExtensibility2, E_NOINTERFACE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        void *object = reinterpret_cast<void *>(0x1234);
        EXPECT_EQ(c.expected, m_getClassObject(*c.clsid, *c.iid, &object));
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ(E_POINTER, m_getClassObject(CLSID_QuorviaAddin, IID_IClassFactory, nullptr));

    // A refused factory is discarded without AddRef or Release lines: the only
    // line is the one asked for now.
    EXPECT_EQ(S_OK, m_canUnloadNow());
    ExpectLog({UnloadLine(0, 0, 0)});
}

TEST_F(ServerTest, FactoryLifetimeIsLogged)
{
    IUnknown *unknown = nullptr;
    ASSERT_EQ(S_OK, m_getClassObject(CLSID_QuorviaAddin, IID_IUnknown, reinterpret_cast<void **>(&unknown)));
    IClassFactory *factory = nullptr;
    ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void **>(&factory)));
    EXPECT_EQ(static_cast<IUnknown *>(factory), unknown);
    void *none = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(kUnsupportedIid, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IClassFactory, nullptr));
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, factory->Release());
    // Factories do not keep the DLL loaded.
    EXPECT_EQ(S_OK, m_canUnloadNow());

    ExpectLog({
        "CAddinCF::AddRef : count=1",
        "CAddinCF::AddRef : count=2",
        "CAddinCF::Release : count=1",
        "CAddinCF::Release : count=0",
        UnloadLine(0, 0, 0),
    });
}

TEST_F(ServerTest, CreateInstanceRefusals)
{
    IClassFactory *factory = Factory();
    ASSERT_NE(nullptr, factory);

    IUnknown *outer = factory;   // any object will do as a would-be aggregator
    void *object = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);

    object = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, kUnsupportedIid, &object));
    EXPECT_EQ(nullptr, object);

    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));

    // None of them left an add-in object alive.
    EXPECT_EQ(S_OK, m_canUnloadNow());
    factory->Release();
    ExpectLog({
        "CAddinCF::AddRef : count=1",
        UnloadLine(0, 0, 0),
        "CAddinCF::Release : count=0",
    });
}

TEST_F(ServerTest, AddinObjectKeepsTheDllLoadedWhileItLives)
{
    IClassFactory *factory = Factory();
    ASSERT_NE(nullptr, factory);
    IDTExtensibility2 *addin = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDTExtensibility2, reinterpret_cast<void **>(&addin)));
    ASSERT_NE(nullptr, addin);
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(S_FALSE, m_canUnloadNow());

    // One object behind IUnknown, IDispatch and IDTExtensibility2.
    const IID *same[] = {&IID_IUnknown, &IID_IDispatch, &IID_IDTExtensibility2};
    for (const IID *iid : same) {
        void *p = nullptr;
        EXPECT_EQ(S_OK, addin->QueryInterface(*iid, &p));
        EXPECT_EQ(static_cast<void *>(addin), p);
        if (p)
            static_cast<IUnknown *>(p)->Release();
    }
    void *none = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, addin->QueryInterface(IID_IClassFactory, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, addin->QueryInterface(IID_IUnknown, nullptr));

    // No type information; its names are the ribbon's callbacks only.
    UINT count = 7;
    EXPECT_EQ(E_FAIL, addin->GetTypeInfoCount(&count));
    ITypeInfo *typeInfo = nullptr;
    EXPECT_EQ(E_FAIL, addin->GetTypeInfo(0, 0, &typeInfo));
    LPOLESTR name = const_cast<LPOLESTR>(L"OnConnection");
    DISPID dispid = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, addin->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid));
    DISPPARAMS none_params = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, addin->Invoke(999, IID_NULL, 0, DISPATCH_METHOD, &none_params, &result, nullptr, nullptr));

    // The add-in's reference count is its own, and its last Release frees the DLL.
    EXPECT_EQ(2u, addin->AddRef());
    EXPECT_EQ(1u, addin->Release());
    EXPECT_EQ(S_FALSE, m_canUnloadNow());
    EXPECT_EQ(0u, addin->Release());
    EXPECT_EQ(S_OK, m_canUnloadNow());

    ExpectLog({
        "CAddinCF::AddRef : count=1",
        "CAddinCF::Release : count=0",
        UnloadLine(1, 0, 0),
        UnloadLine(1, 0, 0),
        UnloadLine(0, 0, 0),
    });
}

TEST_F(ServerTest, AddinThroughEachOfItsInterfacesCountsAsOneComponent)
{
    const IID *iids[] = {&IID_IUnknown, &IID_IDispatch, &IID_IDTExtensibility2};
    IClassFactory *factory = Factory();
    ASSERT_NE(nullptr, factory);
    std::vector<IUnknown *> objects;
    for (const IID *iid : iids) {
        IUnknown *object = nullptr;
        EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, *iid, reinterpret_cast<void **>(&object)));
        ASSERT_NE(nullptr, object);
        objects.push_back(object);
    }
    EXPECT_NE(objects[0], objects[1]);
    EXPECT_EQ(S_FALSE, m_canUnloadNow());
    for (IUnknown *object : objects) {
        EXPECT_EQ(0u, object->Release());
        m_canUnloadNow();
    }
    factory->Release();
    ExpectLog({
        "CAddinCF::AddRef : count=1",
        UnloadLine(3, 0, 0),
        UnloadLine(2, 0, 0),
        UnloadLine(1, 0, 0),
        UnloadLine(0, 0, 0),
        "CAddinCF::Release : count=0",
    });
}

TEST_F(ServerTest, ServerLocksDecideUnloadingWithAddinObjects)
{
    IClassFactory *factory = Factory();
    ASSERT_NE(nullptr, factory);
    struct Step
    {
        int lock;   // +1 LockServer(TRUE), -1 LockServer(FALSE)
        HRESULT canUnload;
        long locks;
    } steps[] = {
        {+1, S_FALSE, 1}, {+1, S_FALSE, 2}, {-1, S_FALSE, 1}, {-1, S_OK, 0},
        {-1, S_FALSE, -1},   // an unmatched unlock keeps the DLL loaded too
        {+1, S_OK, 0},
    };
    std::vector<std::string> expectedLog = {"CAddinCF::AddRef : count=1"};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.locks);
        EXPECT_EQ(S_OK, factory->LockServer(step.lock > 0 ? TRUE : FALSE));
        EXPECT_EQ(step.canUnload, m_canUnloadNow());
        expectedLog.push_back(UnloadLine(0, step.locks, 0));
    }

    // A lock keeps the DLL loaded after the add-in object is gone.
    IUnknown *addin = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&addin)));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    addin->Release();
    EXPECT_EQ(S_FALSE, m_canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, m_canUnloadNow());
    factory->Release();
    expectedLog.push_back(UnloadLine(0, 1, 0));
    expectedLog.push_back(UnloadLine(0, 0, 0));
    expectedLog.push_back("CAddinCF::Release : count=0");
    ExpectLog(expectedLog);
}

// The account's readers reach the add-in object through g_pAddin; it must point
// at the newest live add-in and never at a destroyed one.
class AddinPointerTest : public ::testing::Test
{
protected:
    // This program's own copy of the log stays silent: a log file it opened
    // could not be removed before the program ends.
    void SetUp() override
    {
        DeleteFileA(test::WindowsLogPath().c_str());
        m_savedLevel = g_dwDebugLevel;
        g_dwDebugLevel = 0;
    }
    void TearDown() override { g_dwDebugLevel = m_savedLevel; }

    DWORD m_savedLevel = 0;
};

TEST_F(AddinPointerTest, PointsAtNewestAddinAndIsClearedWhenThatOneGoes)
{
    CAddinCF *factory = new CAddinCF();
    ASSERT_EQ(1u, factory->AddRef());
    ASSERT_EQ(nullptr, g_pAddin);
    ASSERT_EQ(0, g_cComponents);

    IUnknown *first = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&first)));
    CAddin *firstAddin = g_pAddin;
    EXPECT_NE(nullptr, firstAddin);
    EXPECT_EQ(static_cast<IUnknown *>(static_cast<IDTExtensibility2 *>(firstAddin)), first);

    IUnknown *second = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(&second)));
    CAddin *secondAddin = g_pAddin;
    EXPECT_NE(firstAddin, secondAddin);
    EXPECT_EQ(2, g_cComponents);

    // A failed creation leaves both the pointer and the count alone.
    void *none = nullptr;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, kUnsupportedIid, &none));
    EXPECT_EQ(secondAddin, g_pAddin);
    EXPECT_EQ(2, g_cComponents);

    // Releasing an older add-in leaves the pointer on the newest one.
    EXPECT_EQ(0u, first->Release());
    EXPECT_EQ(secondAddin, g_pAddin);
    EXPECT_EQ(1, g_cComponents);

    EXPECT_EQ(0u, second->Release());
    EXPECT_EQ(nullptr, g_pAddin);
    EXPECT_EQ(0, g_cComponents);
    EXPECT_EQ(0u, factory->Release());
    EXPECT_FALSE(test::PathExists(test::WindowsLogPath()));
}

} // namespace
