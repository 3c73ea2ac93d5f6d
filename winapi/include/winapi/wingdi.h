// GDI: memory device contexts over bitmaps and DIB sections, solid and pattern brushes, pens, clip regions,
// blits with ternary raster operations (plain, stretched, masked, colour-keyed), alpha blending, rectangle
// fills and frames, stroked paths, and bitmaps loaded from .bmp files.
#pragma once

#include "winapi/wintypes.h"

typedef struct tagBITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
} BITMAP, *PBITMAP, *LPBITMAP;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

#pragma pack(push, 2)
typedef struct tagBITMAPFILEHEADER {
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
} BITMAPFILEHEADER, *PBITMAPFILEHEADER;
#pragma pack(pop)

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: bottom-up rows; negative: top-down
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO, *PBITMAPINFO, *LPBITMAPINFO;

#define BI_RGB 0
#define BI_RLE8 1
#define BI_RLE4 2
#define BI_BITFIELDS 3
#define BI_JPEG 4
#define BI_PNG 5

#define OBJ_PEN 1
#define OBJ_BRUSH 2
#define OBJ_DC 3
#define OBJ_PAL 5
#define OBJ_FONT 6
#define OBJ_BITMAP 7
#define OBJ_REGION 8
#define OBJ_MEMDC 10

#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define IMAGE_CURSOR 2

#define LR_DEFAULTCOLOR 0x00000000
#define LR_MONOCHROME 0x00000001
#define LR_LOADFROMFILE 0x00000010
#define LR_LOADTRANSPARENT 0x00000020
#define LR_DEFAULTSIZE 0x00000040
#define LR_VGACOLOR 0x00000080
#define LR_LOADMAP3DCOLORS 0x00001000
#define LR_CREATEDIBSECTION 0x00002000
#define LR_SHARED 0x00008000

typedef struct tagDIBSECTION {
    BITMAP dsBm;
    BITMAPINFOHEADER dsBmih;
    DWORD dsBitfields[3];
    HANDLE dshSection;
    DWORD dsOffset;
} DIBSECTION, *PDIBSECTION, *LPDIBSECTION;

typedef struct _BLENDFUNCTION {
    BYTE BlendOp;
    BYTE BlendFlags;
    BYTE SourceConstantAlpha;
    BYTE AlphaFormat;
} BLENDFUNCTION, *PBLENDFUNCTION;

#define AC_SRC_OVER 0x00
#define AC_SRC_ALPHA 0x01

#define DIB_RGB_COLORS 0
#define DIB_PAL_COLORS 1

// Raster operations: bits 16-23 are the truth table over pattern, source and destination.
#define BLACKNESS 0x00000042
#define NOTSRCERASE 0x001100A6
#define NOTSRCCOPY 0x00330008
#define SRCERASE 0x00440328
#define DSTINVERT 0x00550009
#define PATINVERT 0x005A0049
#define SRCINVERT 0x00660046
#define SRCAND 0x008800C6
#define MERGEPAINT 0x00BB0226
#define MERGECOPY 0x00C000CA
#define SRCCOPY 0x00CC0020
#define SRCPAINT 0x00EE0086
#define PATCOPY 0x00F00021
#define PATPAINT 0x00FB0A09
#define WHITENESS 0x00FF0062

#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH

#define BLACK_PEN 7
#define NULL_PEN 8

typedef HGDIOBJ HRGN;

#define HGDI_ERROR ((HGDIOBJ)(LONG_PTR)-1)
#define CLR_INVALID 0xFFFFFFFF

// Memory device contexts. CreateCompatibleDC accepts NULL (the screen) or a memory DC; the new DC starts with
// a 1x1 monochrome bitmap selected. A bitmap is selected in at most one DC at a time; DeleteObject of a
// selected bitmap fails.
HDC WINAPI CreateCompatibleDC(HDC dc);
BOOL WINAPI DeleteDC(HDC dc);
// Bitmaps and brushes. The previous object of that kind, or NULL on failure.
HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
HGDIOBJ WINAPI GetCurrentObject(HDC dc, UINT type);
HGDIOBJ WINAPI GetStockObject(int index);
COLORREF WINAPI SetBkColor(HDC dc, COLORREF color);
COLORREF WINAPI SetTextColor(HDC dc, COLORREF color);

// DIB sections of 1 (with a colour table), 16 (BI_RGB 5-5-5, or BI_BITFIELDS 5-6-5 / 5-5-5), 24 and 32 bits
// per pixel; the DC is not used.
HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                DWORD offset);
// 32 bits per pixel, or monochrome when the DC has a monochrome bitmap selected. Contents are zero.
HBITMAP WINAPI CreateCompatibleBitmap(HDC dc, int width, int height);
// Rows top row first, bmWidthBytes each. The bytes copied, 0 on failure.
LONG WINAPI GetBitmapBits(HBITMAP bitmap, LONG count, LPVOID bits);

HBRUSH WINAPI CreateSolidBrush(COLORREF color);

// Clipped to the destination and the source; a source is converted to the destination's format.
BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y, DWORD rop);
BOOL WINAPI AlphaBlend(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                       int src_width, int src_height, BLENDFUNCTION blend);
int WINAPI FillRect(HDC dc, const RECT* rect, HBRUSH brush);
int WINAPI FrameRect(HDC dc, const RECT* rect, HBRUSH brush);

// LoadImageA(NULL, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE) of an uncompressed .bmp file of 8 (with a
// colour table), 24 or 32 bits per pixel gives a 32-bit bitmap; with LR_CREATEDIBSECTION too, a bottom-up DIB
// section of 24 bits for a 24-bit file and 32 bits otherwise. LR_SHARED is accepted and changes nothing.
// Every other form returns NULL.
HANDLE WINAPI LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height, UINT flags);
// The program's bitmap resources: LoadImageW(NULL or the program's module, MAKEINTRESOURCEW(id),
// IMAGE_BITMAP, 0, 0, flags without LR_LOADFROMFILE) loads bitmap<id>.bmp from the folder in
// KTW_RESOURCE_DIR, or else from "resources" beside the program, as LoadImageA loads a file.
HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int width, int height, UINT flags);
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_CAN_NOT_COMPLETE 1003L
BOOL WINAPI DeleteObject(HGDIOBJ object);
// For a bitmap: a BITMAP (bmBits set for DIB sections only); for a DIB section with room for a DIBSECTION,
// that. buffer NULL returns the size needed.
int WINAPI GetObjectW(HGDIOBJ object, int size, LPVOID buffer);

// ---- clip regions ----

#define RGN_ERROR 0
#define NULLREGION 1
#define SIMPLEREGION 2
#define COMPLEXREGION 3
#define RGN_AND 1
#define RGN_OR 2
#define RGN_XOR 3
#define RGN_DIFF 4
#define RGN_COPY 5

// Right and bottom are exclusive; a rectangle with its corners the wrong way round is ordered first.
HRGN WINAPI CreateRectRgn(int left, int top, int right, int bottom);
// dest = src1 <mode> src2 (src2 unused for RGN_COPY): the region type, RGN_ERROR on failure.
int WINAPI CombineRgn(HRGN dest, HRGN src1, HRGN src2, int mode);
// The DC keeps a copy of the region, in device coordinates; NULL removes the clip. The region type.
int WINAPI SelectClipRgn(HDC dc, HRGN region);

// ---- brushes, stretch modes, pens, mixes ----

// A brush that repeats a copy of the bitmap; a monochrome bitmap paints 0 in the text colour, 1 in the
// background colour of the DC drawn into.
HBRUSH WINAPI CreatePatternBrush(HBITMAP bitmap);
// The pattern's pixel (0, 0) lies at the brush origin, in device coordinates.
BOOL WINAPI SetBrushOrgEx(HDC dc, int x, int y, POINT* previous);

#define BLACKONWHITE 1
#define WHITEONBLACK 2
#define COLORONCOLOR 3
#define HALFTONE 4
// COLORONCOLOR picks the nearest source pixel, HALFTONE interpolates between neighbours; the other two modes
// pick as COLORONCOLOR does. The previous mode, 0 on failure.
int WINAPI SetStretchBltMode(HDC dc, int mode);

#define PS_SOLID 0
#define PS_DASH 1
#define PS_DOT 2
#define PS_DASHDOT 3
#define PS_DASHDOTDOT 4
#define PS_NULL 5
#define PS_USERSTYLE 7
#define PS_STYLE_MASK 0x0000000F
#define PS_COSMETIC 0x00000000
#define PS_GEOMETRIC 0x00010000
#define PS_TYPE_MASK 0x000F0000

#define BS_SOLID 0

typedef struct tagLOGBRUSH {
    UINT lbStyle;
    COLORREF lbColor;
    ULONG_PTR lbHatch;
} LOGBRUSH, *PLOGBRUSH;

// Pens of the styles above; a width above 1 draws a square of that side around every pixel of the line.
HPEN WINAPI CreatePen(int style, int width, COLORREF color);
// Solid brushes only; PS_USERSTYLE takes count (1-16) dash and gap lengths, starting with a dash.
HPEN WINAPI ExtCreatePen(DWORD style, DWORD width, const LOGBRUSH* brush, DWORD count, const DWORD* styles);

#define R2_BLACK 1
#define R2_NOTMERGEPEN 2
#define R2_MASKNOTPEN 3
#define R2_NOTCOPYPEN 4
#define R2_MASKPENNOT 5
#define R2_NOT 6
#define R2_XORPEN 7
#define R2_NOTMASKPEN 8
#define R2_MASKPEN 9
#define R2_NOTXORPEN 10
#define R2_NOP 11
#define R2_MERGENOTPEN 12
#define R2_COPYPEN 13
#define R2_MERGEPENNOT 14
#define R2_MERGEPEN 15
#define R2_WHITE 16
// How pens mix with the destination. The previous mix, 0 on failure.
int WINAPI SetROP2(HDC dc, int mix);

// ---- more blits ----

// The fourth-byte background code and the foreground code of MaskBlt.
#define MAKEROP4(fore, back) ((DWORD)((((back) << 8) & 0xFF000000) | (fore)))

// Raster operations that use no source.
BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);
// The source rectangle scaled to the destination by the DC's stretch mode; negative sizes are refused.
BOOL WINAPI StretchBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                       int src_width, int src_height, DWORD rop);
// Where the monochrome mask's bit is 1 the foreground code applies, elsewhere (and beyond the mask) the
// background code. Without a mask, a BitBlt with the foreground code.
BOOL WINAPI MaskBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                    HBITMAP mask, int mask_x, int mask_y, DWORD rop);
// Copies source pixels (nearest, when scaled) whose colour is not the key.
BOOL WINAPI TransparentBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                           int src_width, int src_height, UINT key);

// ---- paths ----

BOOL WINAPI MoveToEx(HDC dc, int x, int y, POINT* previous);
// Outside a path, draws with the selected pen, leaving out the end point.
BOOL WINAPI LineTo(HDC dc, int x, int y);
BOOL WINAPI BeginPath(HDC dc);
// count must be a multiple of 3: control, control, end point for each curve.
BOOL WINAPI PolyBezierTo(HDC dc, const POINT* points, DWORD count);
BOOL WINAPI CloseFigure(HDC dc);
BOOL WINAPI EndPath(HDC dc);
// Draws the ended path with the selected pen and the DC's mix, then discards it.
BOOL WINAPI StrokePath(HDC dc);
