// An independent client: the platform's own source reader drives the source from
// VelmoraSource.dll and reads samples in several catalogue formats.
#include "tests/source/source_test_support.h"

#include <mfreadwrite.h>

#include "common/velmora_names.h"

namespace {

using namespace velmora::test;

template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using DllCanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();
using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

struct Library {
    HMODULE module = nullptr;
    DllCanUnloadNowFunction canUnloadNow = nullptr;
    DllGetClassObjectFunction getClassObject = nullptr;

    Library() {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring file(path);
        file = file.substr(0, file.find_last_of(L"\\/")) + L"\\VelmoraSource.dll";
        module = LoadLibraryW(file.c_str());
        if (module) {
            canUnloadNow = Export<DllCanUnloadNowFunction>(module, "DllCanUnloadNow");
            getClassObject = Export<DllGetClassObjectFunction>(module, "DllGetClassObject");
        }
    }

    ComPtr<IMFMediaSource> NewSource() const {
        ComPtr<IClassFactory> factory;
        ComPtr<IMFActivate> activate;
        ComPtr<IMFMediaSource> source;
        if (SUCCEEDED(getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory))) &&
            SUCCEEDED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)))) {
            activate->ActivateObject(IID_PPV_ARGS(&source));
        }
        return source;
    }
};

struct Format {
    DWORD catalogueIndex;
    GUID subtype;
    UINT32 width, height;
    DWORD sampleSize;
};

TEST(SourceReader, ReadsSamplesInSeveralCatalogueFormats) {
    Library library;
    ASSERT_TRUE(library.module && library.getClassObject && library.canUnloadNow);

    const Format formats[] = {
        {0, MFVideoFormat_NV12, 640, 360, 345600},
        {3, MFVideoFormat_YUY2, 640, 480, 614400},
        {16, MFVideoFormat_NV12, 1280, 720, 1382400},
    };
    for (const Format& format : formats) {
        SCOPED_TRACE("catalogue index " + std::to_string(format.catalogueIndex));
        ComPtr<IMFMediaSource> source = library.NewSource();
        ASSERT_TRUE(source);
        ComPtr<IMFSourceReader> reader;
        ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);

        ASSERT_EQ(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE), S_OK);
        ASSERT_EQ(reader->SetStreamSelection(0, TRUE), S_OK);
        ComPtr<IMFMediaType> native;
        ASSERT_EQ(reader->GetNativeMediaType(0, format.catalogueIndex, &native), S_OK);
        GUID subtype{};
        UINT64 size = 0;
        native->GetGUID(MF_MT_SUBTYPE, &subtype);
        native->GetUINT64(MF_MT_FRAME_SIZE, &size);
        EXPECT_EQ(subtype, format.subtype);
        EXPECT_EQ(size, (UINT64{format.width} << 32) | format.height);
        const HRESULT typeResult = reader->SetCurrentMediaType(0, nullptr, native.Get());
        ASSERT_EQ(typeResult, S_OK) << HrText(typeResult);

        LONGLONG previousTime = -1;
        int delivered = 0;
        for (int attempt = 0; attempt < 20 && delivered < 5; ++attempt) {
            DWORD streamIndex = 99;
            DWORD flags = 0;
            LONGLONG time = 0;
            ComPtr<IMFSample> sample;
            const HRESULT hr = reader->ReadSample(0, 0, &streamIndex, &flags, &time, &sample);
            ASSERT_EQ(hr, S_OK) << HrText(hr);
            ASSERT_EQ(flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM), 0u);
            if (!sample) {
                continue;  // a stream tick or type notification without data
            }
            EXPECT_EQ(streamIndex, 0u);
            ComPtr<IMFMediaBuffer> buffer;
            ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
            DWORD length = 0;
            buffer->GetCurrentLength(&length);
            EXPECT_EQ(length, format.sampleSize);
            EXPECT_GT(time, previousTime);
            previousTime = time;
            ++delivered;
        }
        EXPECT_EQ(delivered, 5);
        reader.Reset();  // the reader shuts the source down
        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
    }
    // The reader lets go of the last stream references on its own work queue threads.
    HRESULT unload = library.canUnloadNow();
    for (int wait = 0; wait < 200 && unload != S_OK; ++wait) {
        Sleep(10);
        unload = library.canUnloadNow();
    }
    EXPECT_EQ(unload, S_OK);
}

}  // namespace
