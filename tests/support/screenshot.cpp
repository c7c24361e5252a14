#include "support/screenshot.hpp"

#include "foundation/handles.hpp"
#include "support/test_support.hpp"

#include <wincodec.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tess::test {
namespace {

struct ScreenDcTraits {
    using Value = HDC;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value dc) noexcept { ::ReleaseDC(nullptr, dc); }
};
struct MemoryDcTraits {
    using Value = HDC;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value dc) noexcept { ::DeleteDC(dc); }
};
struct GdiObjectTraits {
    using Value = HGDIOBJ;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value object) noexcept { ::DeleteObject(object); }
};

void check(HRESULT result, const char* step) {
    if (FAILED(result))
        throw std::runtime_error(std::string("screenshot: ") + step + " failed");
}

struct Capture {
    int width = 0;
    int height = 0;
    UINT stride = 0;
    std::vector<BYTE> pixels; // 24-bit BGR rows, top-down
};

Capture captureScreenArea(const RECT& area) {
    Capture capture;
    capture.width = area.right - area.left;
    capture.height = area.bottom - area.top;
    capture.stride = static_cast<UINT>((capture.width * 3 + 3) & ~3);
    UniqueHandle<ScreenDcTraits> screen(::GetDC(nullptr));
    UniqueHandle<MemoryDcTraits> memory(::CreateCompatibleDC(screen.get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    UniqueHandle<GdiObjectTraits> bitmap(
        ::CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits)
        throw std::runtime_error("screenshot: no bitmap");
    HGDIOBJ previous = ::SelectObject(memory.get(), bitmap.get());
    ::BitBlt(memory.get(), 0, 0, capture.width, capture.height, screen.get(), area.left, area.top, SRCCOPY);
    ::GdiFlush();
    const BYTE* first = static_cast<const BYTE*>(bits);
    capture.pixels.assign(first, first + static_cast<size_t>(capture.stride) * capture.height);
    ::SelectObject(memory.get(), previous);
    return capture;
}

void writePng(const Capture& capture, const std::filesystem::path& file) {
    ComApartment apartment;
    ComPtr<IWICImagingFactory> factory;
    check(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                             factory.putVoid()),
          "imaging factory");
    ComPtr<IWICStream> stream;
    check(factory->CreateStream(stream.put()), "stream");
    check(stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE), "file");
    ComPtr<IWICBitmapEncoder> encoder;
    check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put()), "PNG encoder");
    check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), "encoder");
    ComPtr<IWICBitmapFrameEncode> frame;
    check(encoder->CreateNewFrame(frame.put(), nullptr), "frame");
    check(frame->Initialize(nullptr), "frame setup");
    check(frame->SetSize(static_cast<UINT>(capture.width), static_cast<UINT>(capture.height)), "size");
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    check(frame->SetPixelFormat(&format), "pixel format");
    if (format != GUID_WICPixelFormat24bppBGR)
        throw std::runtime_error("screenshot: PNG encoder refuses 24-bit BGR");
    check(frame->WritePixels(static_cast<UINT>(capture.height), capture.stride,
                             static_cast<UINT>(capture.pixels.size()),
                             const_cast<BYTE*>(capture.pixels.data())),
          "pixels");
    check(frame->Commit(), "frame commit");
    check(encoder->Commit(), "encoder commit");
}

} // namespace

std::filesystem::path screenshotFolder() {
    std::filesystem::path folder = binaryDir() / L"screenshots";
    std::filesystem::create_directories(folder);
    return folder;
}

void saveScreenshot(HWND window, const std::filesystem::path& file) {
    RECT area{};
    if (!::GetWindowRect(window, &area) || area.right <= area.left || area.bottom <= area.top)
        throw std::runtime_error("screenshot: the window has no area");
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    writePng(captureScreenArea(area), file);
}

} // namespace tess::test
