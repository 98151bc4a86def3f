// An independent client: the platform's own source reader drives the source from
// VelmoraSource.dll and reads samples in several catalogue formats.
#include "tests/source/source_test_support.h"

#include <mfreadwrite.h>

#include "tests/com/com_test_support.h"

namespace {

using namespace velmora::test;

TEST(SourceReader, ReadsSamplesInSeveralCatalogueFormats) {
    SourceLibrary library;
    ASSERT_TRUE(library.Complete());
    const struct {
        DWORD catalogueIndex;
        GUID subtype;
        UINT64 size;
        DWORD sampleSize;
    } formats[] = {{0, MFVideoFormat_NV12, (640ull << 32) | 360, 345600},
                   {3, MFVideoFormat_YUY2, (640ull << 32) | 480, 614400},
                   {16, MFVideoFormat_NV12, (1280ull << 32) | 720, 1382400}};
    for (const auto& format : formats) {
        SCOPED_TRACE("catalogue index " + std::to_string(format.catalogueIndex));
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        ComPtr<IMFMediaType> native;
        ASSERT_EQ(library.Activate()->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
        ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
        ASSERT_EQ(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE), S_OK);
        ASSERT_EQ(reader->SetStreamSelection(0, TRUE), S_OK);
        ASSERT_EQ(reader->GetNativeMediaType(0, format.catalogueIndex, &native), S_OK);
        GUID subtype{};
        UINT64 size = 0;
        native->GetGUID(MF_MT_SUBTYPE, &subtype), native->GetUINT64(MF_MT_FRAME_SIZE, &size);
        EXPECT_TRUE(subtype == format.subtype && size == format.size);
        ASSERT_EQ(reader->SetCurrentMediaType(0, nullptr, native.Get()), S_OK);

        LONGLONG previousTime = -1;
        int delivered = 0;
        for (int attempt = 0; attempt < 20 && delivered < 5; ++attempt) {
            DWORD streamIndex = 99, flags = 0;
            LONGLONG time = 0;
            ComPtr<IMFSample> sample;
            ComPtr<IMFMediaBuffer> buffer;
            const HRESULT hr = reader->ReadSample(0, 0, &streamIndex, &flags, &time, &sample);
            ASSERT_EQ(hr, S_OK) << HrText(hr);
            ASSERT_EQ(flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM), 0u);
            if (!sample) {
                continue;  // a notification without data
            }
            DWORD length = 0;
            ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
            buffer->GetCurrentLength(&length);
            EXPECT_TRUE(streamIndex == 0 && length == format.sampleSize && time > previousTime) << length;
            previousTime = time, ++delivered;
        }
        EXPECT_EQ(delivered, 5);
        reader.Reset();  // the reader shuts the source down
        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
    }
    EXPECT_EQ(library.CanUnloadSoon(), S_OK);
}

}  // namespace
