#include "host/back_buffer_win32.h"

#include "base/fatal.h"

static void fill_header(BITMAPINFO* header, u32 pitch, u32 height, u32 bytes_per_pixel) {
    ZeroMemory(header, sizeof(*header));
    header->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header->bmiHeader.biWidth = (LONG)pitch;
    header->bmiHeader.biHeight = (LONG)height;
    header->bmiHeader.biPlanes = 1;
    header->bmiHeader.biBitCount = (WORD)(bytes_per_pixel * 8);
    header->bmiHeader.biCompression = BI_RGB;
}

void resize_back_buffer(back_buffer* buffer, BITMAPINFO* header, u32 width, u32 height) {
    if (width == buffer->width && height == buffer->height) {
        return;
    }
    if (buffer->memory) {
        VirtualFree(buffer->memory, 0, MEM_RELEASE);
        buffer->memory = NULL;
    }
    u32 bytes_per_pixel = 4;
    u32 pitch = back_buffer_pitch(width);
    fatal_assert(pitch % 4 == 0);
    // Sizes no client area reaches would wrap the 32-bit pixel count and give
    // an allocation smaller than the image; they are refused like a failed
    // allocation.
    u64 total_pixels = (u64)pitch * ((u64)height + 2);
    void* memory = NULL;
    if (pitch > width && total_pixels <= UINT32_MAX) {
        memory = VirtualAlloc(NULL, (SIZE_T)(total_pixels * bytes_per_pixel), MEM_COMMIT,
                              PAGE_READWRITE);
    }
    if (!memory) {
        // The empty state is one the module already handles; a pixel pointer
        // computed from null would not be.
        ZeroMemory(buffer, sizeof(*buffer));
        ZeroMemory(header, sizeof(*header));
        return;
    }
    fill_header(header, pitch, height, bytes_per_pixel);
    buffer->width = width;
    buffer->height = height;
    buffer->bytes_per_pixel = bytes_per_pixel;
    buffer->pitch = pitch;
    buffer->memory = memory;
    buffer->allocated_pixels = (u32)total_pixels;
    buffer->pixels = (u32*)memory + pitch;
}

void fit_back_buffer_to_window(back_buffer* buffer, HWND window, BITMAPINFO* header) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    resize_back_buffer(buffer, header, (u32)(client.right - client.left),
                       (u32)(client.bottom - client.top));
}

void blit_back_buffer(const back_buffer* buffer, const BITMAPINFO* header, HDC device_context) {
    int width = header->bmiHeader.biWidth;
    int height = header->bmiHeader.biHeight;
    StretchDIBits(device_context, 0, 0, width, height, 0, 0, width, height, buffer->pixels,
                  header, DIB_RGB_COLORS, SRCCOPY);
}

void show_window_and_fit_back_buffer(back_buffer* buffer, HWND window, BITMAPINFO* header) {
    UpdateWindow(window);
    ShowWindow(window, SW_SHOWDEFAULT);
    fit_back_buffer_to_window(buffer, window, header);
}
