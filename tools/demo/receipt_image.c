/* Receipt rendering: a 5x7 font, a growing 1-bit canvas, a stored-deflate PNG. */
#include "receipt_image.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Columns of each glyph from ' ' (0x20) to '_' (0x5F); bit 0 is the top row. */
static const unsigned char kFont[64][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x08, 0x2A, 0x1C, 0x2A, 0x08}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x00, 0x08, 0x14, 0x22, 0x41}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x41, 0x22, 0x14, 0x08, 0x00}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x01, 0x01},
    {0x3E, 0x41, 0x41, 0x51, 0x32}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x04, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x7F, 0x20, 0x18, 0x20, 0x7F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x03, 0x04, 0x78, 0x04, 0x03}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x00, 0x7F, 0x41, 0x41},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x41, 0x41, 0x7F, 0x00, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40},
};

enum { kCellW = 6, kCellH = 9, kMargin = 8 };

struct ReceiptImage {
    int columns;
    int width, height; /* pixels */
    unsigned char *pixels; /* one byte per pixel, 1 = ink */
    size_t capacity;       /* rows allocated */
};

static int grow(ReceiptImage *im, int rows) {
    size_t need = (size_t)im->height + (size_t)rows;
    if (need > im->capacity) {
        size_t cap = im->capacity ? im->capacity * 2 : 256;
        while (cap < need) cap *= 2;
        unsigned char *p = realloc(im->pixels, cap * (size_t)im->width);
        if (!p) return -1;
        memset(p + im->capacity * (size_t)im->width, 0, (cap - im->capacity) * (size_t)im->width);
        im->pixels = p;
        im->capacity = cap;
    }
    im->height += rows;
    return 0;
}

ReceiptImage *receipt_image_new(int columns) {
    if (columns < 8 || columns > 200) return NULL;
    ReceiptImage *im = calloc(1, sizeof *im);
    if (!im) return NULL;
    im->columns = columns;
    im->width = columns * kCellW + 2 * kMargin;
    if (grow(im, kMargin) != 0) {
        free(im);
        return NULL;
    }
    return im;
}

void receipt_image_free(ReceiptImage *im) {
    if (!im) return;
    free(im->pixels);
    free(im);
}

static void draw_glyph(ReceiptImage *im, int x0, int y0, char c, int scale) {
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    if (c < 0x20 || c > 0x5F) c = '?';
    const unsigned char *g = kFont[c - 0x20];
    for (int col = 0; col < 5; col++)
        for (int row = 0; row < 7; row++)
            if (g[col] & (1 << row))
                for (int dy = 0; dy < scale; dy++)
                    for (int dx = 0; dx < scale; dx++) {
                        int x = x0 + col * scale + dx, y = y0 + row * scale + dy;
                        if (x >= 0 && x < im->width && y >= 0 && y < im->height) im->pixels[(size_t)y * im->width + x] = 1;
                    }
}

int receipt_image_text(ReceiptImage *im, const char *text, int justify, int scale) {
    if (!im || !text) return -1;
    if (scale != 2 && scale != 4) scale = 1;
    int fits = im->columns / scale;
    int len = (int)strlen(text);
    if (len > fits) len = fits;
    int y0 = im->height;
    if (grow(im, kCellH * scale) != 0) return -1;
    int textWidth = len * kCellW * scale;
    int area = im->columns * kCellW;
    int x0 = kMargin + (justify == 1 ? (area - textWidth) / 2 : justify == 2 ? area - textWidth : 0);
    for (int i = 0; i < len; i++) draw_glyph(im, x0 + i * kCellW * scale, y0 + scale, text[i], scale);
    return 0;
}

int receipt_image_feed(ReceiptImage *im, int lines) {
    if (!im || lines < 0 || lines > 100) return -1;
    return grow(im, lines * kCellH);
}

int receipt_image_cut(ReceiptImage *im) {
    if (!im) return -1;
    int y = im->height + kCellH / 2;
    if (grow(im, kCellH) != 0) return -1;
    for (int x = 0; x < im->width; x++)
        if ((x / 4) % 2 == 0) im->pixels[(size_t)y * im->width + x] = 1;
    return 0;
}

/* ---- PNG: 1-bit greyscale, zlib stream of stored blocks ---- */

static uint32_t crc_table[256];
static void crc_init(void) {
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}
static uint32_t crc_update(uint32_t crc, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++) crc = crc_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}
static void put32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}
static int write_chunk(FILE *f, const char *type, const unsigned char *data, size_t len) {
    unsigned char head[8];
    put32(head, (uint32_t)len);
    memcpy(head + 4, type, 4);
    uint32_t crc = crc_update(0xFFFFFFFFu, (const unsigned char *)type, 4);
    crc = crc_update(crc, data, len) ^ 0xFFFFFFFFu;
    unsigned char tail[4];
    put32(tail, crc);
    return fwrite(head, 1, 8, f) == 8 && (len == 0 || fwrite(data, 1, len, f) == len) && fwrite(tail, 1, 4, f) == 4
               ? 0
               : -1;
}

int receipt_image_write_png(const ReceiptImage *im, const char *path) {
    if (!im || !path) return -1;
    crc_init();
    int height = im->height + kMargin;
    size_t rowBytes = 1 + ((size_t)im->width + 7) / 8;
    size_t raw = rowBytes * (size_t)height;
    unsigned char *scan = calloc(1, raw);
    if (!scan) return -1;
    for (int y = 0; y < height; y++) {
        unsigned char *row = scan + (size_t)y * rowBytes; /* filter byte 0 */
        for (int x = 0; x < im->width; x++) {
            int ink = y < im->height && im->pixels[(size_t)y * im->width + x];
            if (!ink) row[1 + x / 8] |= (unsigned char)(0x80 >> (x % 8)); /* 1 = white */
        }
    }
    size_t blocks = raw / 65535 + 1;
    size_t zlen = 2 + raw + blocks * 5 + 4;
    unsigned char *z = malloc(zlen);
    if (!z) {
        free(scan);
        return -1;
    }
    size_t o = 0;
    z[o++] = 0x78;
    z[o++] = 0x01;
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < raw; i++) {
        a = (a + scan[i]) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t done = 0; done < raw || done == 0;) {
        size_t n = raw - done > 65535 ? 65535 : raw - done;
        z[o++] = done + n >= raw ? 1 : 0;
        z[o++] = (unsigned char)n;
        z[o++] = (unsigned char)(n >> 8);
        z[o++] = (unsigned char)~n;
        z[o++] = (unsigned char)(~n >> 8);
        memcpy(z + o, scan + done, n);
        o += n;
        done += n;
        if (raw == 0) break;
    }
    put32(z + o, (b << 16) | a);
    o += 4;
    free(scan);

    FILE *f = fopen(path, "wb");
    if (!f) {
        free(z);
        return -1;
    }
    static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    unsigned char ihdr[13];
    put32(ihdr, (uint32_t)im->width);
    put32(ihdr + 4, (uint32_t)height);
    ihdr[8] = 1;  /* bit depth */
    ihdr[9] = 0;  /* greyscale */
    ihdr[10] = ihdr[11] = ihdr[12] = 0;
    int rc = fwrite(sig, 1, 8, f) == 8 && write_chunk(f, "IHDR", ihdr, 13) == 0 && write_chunk(f, "IDAT", z, o) == 0 &&
                     write_chunk(f, "IEND", NULL, 0) == 0
                 ? 0
                 : -1;
    free(z);
    if (fclose(f) != 0) rc = -1;
    return rc;
}
