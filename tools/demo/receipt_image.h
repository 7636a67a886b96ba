/*
 * A receipt as a picture: the lines the terminal printed, drawn with a small
 * built-in 5x7 font into a 1-bit image and written as PNG (no library
 * needed). Used by the demo to show what a host printer would produce.
 */
#ifndef RYN_DEMO_RECEIPT_IMAGE_H
#define RYN_DEMO_RECEIPT_IMAGE_H

#include <stddef.h>

typedef struct ReceiptImage ReceiptImage;

/* A receipt `columns` characters wide; null when out of memory. */
ReceiptImage *receipt_image_new(int columns);
void receipt_image_free(ReceiptImage *image);
/* Appends a line of text; justify 0 left, 1 centre, 2 right (as the
 * terminal sends it); scale 1, 2 or 4 doubles glyphs. Lower case is drawn as
 * upper case; unknown characters as '?'. */
int receipt_image_text(ReceiptImage *image, const char *text, int justify, int scale);
/* Blank lines. */
int receipt_image_feed(ReceiptImage *image, int lines);
/* A dashed cut mark. */
int receipt_image_cut(ReceiptImage *image);
/* Writes the image as a 1-bit greyscale PNG; 0 on success. */
int receipt_image_write_png(const ReceiptImage *image, const char *path);

#endif
