#include "window_picture.h"

namespace {

bool writeBitmapFile(const wchar_t* path, const BITMAPINFOHEADER& header, const void* bits,
                     std::string& whyNot) {
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + header.biSizeImage;
    HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        whyNot = "cannot create the picture file, error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(out, &file, sizeof(file), &written, nullptr) &&
              WriteFile(out, &header, sizeof(header), &written, nullptr) &&
              WriteFile(out, bits, header.biSizeImage, &written, nullptr);
    CloseHandle(out);
    if (!ok) {
        whyNot = "cannot write the picture file";
    }
    return ok;
}

} // namespace

bool writeWindowPicture(HWND window, const wchar_t* path, DWORD answerDeadlineMs,
                        std::string& whyNot) {
    // Without a window manager the X server gives Wine's desktop no input focus, and Wine draws
    // every caption as inactive; the user looking at the window sees it active.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, answerDeadlineMs, &ignored);
    // Everything the window shows now is painted before the screen is read.
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, answerDeadlineMs, &ignored);

    RECT frame;
    if (!GetWindowRect(window, &frame)) {
        whyNot = "the window has no place on the screen, error " + std::to_string(GetLastError());
        return false;
    }
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = frame.right - frame.left;
    header.biHeight = frame.bottom - frame.top; // rows bottom-up, as a BMP file keeps them
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>((header.biWidth * 3 + 3) / 4 * 4 * header.biHeight);

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                       DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (picture != nullptr) {
        HGDIOBJ previous = SelectObject(memory, picture);
        copied = BitBlt(memory, 0, 0, header.biWidth, header.biHeight, screen, frame.left,
                        frame.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, previous);
    }
    if (!copied) {
        whyNot = "the screen could not be read, error " + std::to_string(GetLastError());
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    bool written = copied && writeBitmapFile(path, header, bits, whyNot);
    if (picture != nullptr) {
        DeleteObject(picture);
    }
    return written;
}
