#include "window_probe.h"

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <vector>

#include "main/access_keys.h"
#include "main/win32/win32_ui.h"

namespace dalvento::win32::probe {

namespace {

// Whether Windows draws a control's ampersands as access-key marks.
bool takes_prefix(HWND control) {
    wchar_t name[32] = {};
    GetClassNameW(control, name, 32);
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
    if (lstrcmpiW(name, L"Button") == 0) return true;
    if (lstrcmpiW(name, L"Static") == 0) return (style & SS_NOPREFIX) == 0;
    return false;
}

}  // namespace

std::string shown_text(HWND control) {
    const std::string text = window_text(control);
    if (!takes_prefix(control)) return text;
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) ++i;
        shown += text[i];
    }
    return shown;
}

SIZE text_extent(HWND control, bool wrapped) {
    const std::wstring text = wide(window_text(control));
    HDC dc = GetDC(control);
    SIZE size{};
    if (!dc) return size;
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT client{};
    GetClientRect(control, &client);
    RECT box = {0, 0, wrapped ? client.right : 0, 0};
    UINT format = DT_CALCRECT | (wrapped ? DT_WORDBREAK : DT_SINGLELINE);
    if (!takes_prefix(control)) format |= DT_NOPREFIX;
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, format);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return {box.right - box.left, box.bottom - box.top};
}

char access_key(HWND control) {
    return takes_prefix(control) ? access_key_of(window_text(control)) : 0;
}

Rect rect_in_parent(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

Rect client_size(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {0, 0, r.right, r.bottom};
}

std::string clipboard_text() {
    std::string text;
    if (!OpenClipboard(nullptr)) return "(clipboard refused)";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = utf8(chars);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

Rect screen_rect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

bool lies_inside(const Rect& inner, const Rect& outer) {
    return inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

int text_height(HFONT font) {
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(screen, &metrics);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return metrics.tmHeight;
}

namespace {

void put_chunk(std::string& png, const char* kind, const std::string& body) {
    const auto be32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            png += static_cast<char>((v >> shift) & 0xFF);
    };
    be32(static_cast<uint32_t>(body.size()));
    const std::string typed = std::string(kind, 4) + body;
    png += typed;
    be32(static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()))));
}

}  // namespace

bool save_screenshot(const std::filesystem::path& file) {
    // Every window painted first: a test takes its picture before its loop would get to it.
    RedrawWindow(nullptr, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    for (int i = 0; i < 30; ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(10);
    }
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool taken = false;
    std::string raw;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        taken = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY) != 0;
        SelectObject(memory, old);
        const auto* pixels = static_cast<const uint8_t*>(bits);
        raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
        for (int y = 0; y < height; ++y) {
            raw += '\0';
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = pixels + (static_cast<size_t>(y) * width + x) * 4;
                raw += static_cast<char>(p[2]);
                raw += static_cast<char>(p[1]);
                raw += static_cast<char>(p[0]);
            }
        }
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!taken) return false;

    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packed_size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  6) != Z_OK) {
        return false;
    }
    packed.resize(packed_size);
    std::string header;
    for (const int v : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            header += static_cast<char>((v >> shift) & 0xFF);
    }
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    std::string png = "\x89PNG\r\n\x1a\n";
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", packed);
    put_chunk(png, "IEND", "");
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    std::ofstream out(file, std::ios::binary);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(out);
}

}  // namespace dalvento::win32::probe
