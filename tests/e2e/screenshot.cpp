#include "tests/e2e/korvane_process.h"

// The few GDI+ entry points a PNG needs.
extern "C" {
struct GdiplusStartupInputFlat {
    UINT32 GdiplusVersion;
    void* DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;
};
int WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInputFlat* input, void* output);
void WINAPI GdiplusShutdown(ULONG_PTR token);
int WINAPI GdipCreateBitmapFromHBITMAP(HBITMAP bitmap, HPALETTE palette, void** image);
int WINAPI GdipSaveImageToFile(void* image, const WCHAR* file, const CLSID* encoder, const void* parameters);
int WINAPI GdipDisposeImage(void* image);
}

static const CLSID PngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

bool SaveScreenshot(HWND window, const std::wstring& path)
{
    return SaveScreenshot(window, nullptr, path);
}

bool SaveScreenshot(HWND window, HWND over, const std::wstring& path)
{
    RECT rect = {};
    if (!GetWindowRect(window, &rect))
        return false;
    RECT other = {};
    if (over != nullptr && GetWindowRect(over, &other))
        UnionRect(&rect, &rect, &other);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool ok = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    SelectObject(memory, old);

    GdiplusStartupInputFlat input = {1, nullptr, FALSE, FALSE};
    ULONG_PTR token = 0;
    if (ok && GdiplusStartup(&token, &input, nullptr) == 0) {
        void* image = nullptr;
        ok = GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == 0 &&
             GdipSaveImageToFile(image, path.c_str(), &PngEncoder, nullptr) == 0;
        if (image != nullptr)
            GdipDisposeImage(image);
        GdiplusShutdown(token);
    } else {
        ok = false;
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}
