// Reading the player's spectrum back from pixels: a bitmap to paint or copy a picture into,
// and the height of each band's bar in it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

#include "player/visualisation.h"

// A 32-bit top-down bitmap to paint into and read back.
class Picture {
public:
    Picture(int width, int height) : area{0, 0, width, height}
    {
        BITMAPINFO info = {};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        dc = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc, &info, DIB_RGB_COLORS, (void**)&bits_, nullptr, 0);
        old_ = SelectObject(dc, bitmap_);
    }
    ~Picture()
    {
        SelectObject(dc, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc);
    }
    // Whether the pixel is lit: bars, traces and peak marks are; background, grid and text not.
    bool Bright(int x, int y) const
    {
        GdiFlush();
        DWORD pixel = bits_[y * area.right + x];
        return std::max({pixel & 0xFF, (pixel >> 8) & 0xFF, (pixel >> 16) & 0xFF}) >= 185;
    }

    HDC dc;
    RECT area;

private:
    HBITMAP bitmap_;
    HGDIOBJ old_;
    DWORD* bits_ = nullptr;
};

// Height of each band's bar: lit pixels rising without a break from the plot's bottom, in
// the middle of the band's column.
inline std::vector<int> BarHeights(const Picture& picture)
{
    std::vector<int> heights;
    for (int band = 0; band < vis::kBands; ++band) {
        RECT bar = vis::Visualisation::BandBar(picture.area, band);
        int x = (bar.left + bar.right) / 2, y = bar.bottom - 1;
        while (y >= bar.top && picture.Bright(x, y))
            --y;
        heights.push_back(bar.bottom - 1 - y);
    }
    return heights;
}
