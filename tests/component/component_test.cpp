#include <gtest/gtest.h>

#include "sonx/component/component.h"
#include "sonx/sonx.h"

namespace sonx {
namespace {

TEST(CreateInstance, UnknownClassesAndForeignInterfacesGiveNull) {
    EXPECT_EQ(createInstance(FILE_TYPE_QCP, IID_ISonxUnknown), nullptr);
    EXPECT_EQ(createInstance(CLSID_SonxFile, IID_ISonxCodec), nullptr);
    EXPECT_EQ(createInstance(CODEC_G711_ULAW, IID_ISonxPacketCodec), nullptr);
    EXPECT_EQ(createInstance(CODEC_PCM, IID_ISonxCodec), nullptr);
}

// The factory answers exactly what the object answers, for every class and
// interface, and hands back an interface holding the only reference.
TEST(CreateInstance, AnswersWhatTheObjectAnswersWithOneReference) {
    const Guid classes[] = {CLSID_SonxFile, CODEC_QCELP13K, CODEC_QCELP13K_ALT, CODEC_G711_ULAW};
    const Guid interfaces[] = {IID_ISonxUnknown, IID_ISonxError,    IID_ISonxFile,  IID_ISonxConvertFile,
                               IID_ISonxQcpChunks, IID_ISonxCodec, IID_ISonxPacketCodec, IID_ISonxSalvage,
                               IID_ISonxFileFacts};
    for (const Guid& clsid : classes) {
        auto* object = static_cast<ISonxUnknown*>(createInstance(clsid, IID_ISonxUnknown));
        ASSERT_NE(object, nullptr) << clsid.toString();
        for (const Guid& iid : interfaces) {
            SCOPED_TRACE(clsid.toString() + " " + iid.toString());
            auto* viaObject = static_cast<ISonxUnknown*>(object->QueryInterface(iid));
            auto* viaFactory = static_cast<ISonxUnknown*>(createInstance(clsid, iid));
            EXPECT_EQ(viaObject != nullptr, viaFactory != nullptr);
            if (viaObject) viaObject->Release();
            if (viaFactory) {
                EXPECT_EQ(viaFactory->Release(), 0);
            }
        }
        EXPECT_EQ(object->Release(), 0);
    }
    auto* salvage = createInstance<ISonxSalvage>(CLSID_SonxFile);
    ASSERT_NE(salvage, nullptr);
    SalvageReport report;
    report.blocksRead = 7;
    salvage->salvageReport(&report);
    EXPECT_EQ(report.blocksRead, 0u);
    salvage->Release();
}

// A minimal component with two interfaces, to check the counting rules.
class Probe : public ISonxError, public ISonxConvertFile, public ComponentBase {
public:
    explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { *destroyed_ = true; }
    int32_t AddRef() override { return addRef(); }
    int32_t Release() override { return release(); }
    void* QueryInterface(const Guid& iid) override {
        AddRef();
        if (iid == IID_ISonxConvertFile) return static_cast<ISonxConvertFile*>(this);
        if (iid == IID_ISonxError) return static_cast<ISonxError*>(this);
        if (iid == IID_ISonxUnknown) return static_cast<ISonxUnknown*>(static_cast<ISonxConvertFile*>(this));
        Release();
        return nullptr;
    }
    uint8_t hasError() override { return errorSet(); }
    const char* errorText() override { return errorCString(); }
    int32_t errorCode() override { return errorStatus(); }
    uint8_t convert(const FileHandle*, const AudioFormat*, const FileHandle*, const AudioFormat*, ConvertCallback,
                    uint32_t) override {
        clearError();
        setError("boom");
        return 0;
    }
    uint32_t progress() override { return 0; }
    uint8_t convertWithProgress(const FileHandle*, const AudioFormat*, const FileHandle*, const AudioFormat*,
                                ConvertProgressCallback, uintptr_t) override {
        return 0;
    }
    void cancel() override {}

private:
    bool* destroyed_;
};

TEST(ComponentBase, CountsAcrossInterfacesAndDestroysAtZero) {
    bool destroyed = false;
    auto* probe = new Probe(&destroyed);
    auto* convert = static_cast<ISonxConvertFile*>(probe->QueryInterface(IID_ISonxConvertFile));
    ASSERT_NE(convert, nullptr);
    EXPECT_EQ(probe->refCount(), 1);

    auto* error = queryInterface<ISonxError>(convert);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(probe->refCount(), 2);
    EXPECT_FALSE(error->hasError());
    EXPECT_STREQ(error->errorText(), "");

    EXPECT_EQ(convert->QueryInterface(FILE_TYPE_WAV), nullptr);
    EXPECT_EQ(probe->refCount(), 2);

    convert->convert(nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_TRUE(error->hasError());
    EXPECT_STREQ(error->errorText(), "boom");

    EXPECT_EQ(error->Release(), 1);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(convert->Release(), 0);
    EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace sonx
