/* Portrait decoders that break their contract, one behaviour per build
 * (TEST_DECODER_MODE), for the converter's tests. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MODE_REFUSE 1     /* returns 0, writes nothing */
#define MODE_NO_FILE 2    /* returns 1, writes nothing */
#define MODE_CORRUPT 3    /* returns 1, writes garbage */
#define MODE_HUGE_DIMS 4  /* returns 1, a header claiming 30000 x 30000 */
#define MODE_HUGE_FILE 5  /* returns 1, a 17 MB file */
#define MODE_BIG_JPEG 6   /* returns 1, a valid noisy 300 x 300 bitmap */
#define MODE_CHDIR 7      /* moves the working directory on load, in GetBmp and on
                             unload; returns 1, a valid 8 x 8 bitmap */

static void put32(unsigned char* p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

static void header(unsigned char* h, unsigned width, unsigned height, unsigned fileSize) {
  memset(h, 0, 54);
  h[0] = 'B';
  h[1] = 'M';
  put32(h + 2, fileSize);
  put32(h + 10, 54);
  put32(h + 14, 40);
  put32(h + 18, width);
  put32(h + 22, height);
  h[26] = 1;
  h[28] = 24;
}

#if TEST_DECODER_MODE == MODE_CHDIR
__attribute__((constructor)) static void on_load(void) { (void)chdir("/"); }
__attribute__((destructor)) static void on_unload(void) { (void)chdir("/"); }
#endif

static void noisy_pixels(FILE* out, unsigned side) {
  unsigned seed = 12345;
  for (unsigned i = 0; i < side * side * 3; ++i) {
    seed = seed * 1103515245u + 12345u;
    fputc((int)(seed >> 16) & 0xFF, out);
  }
}

__attribute__((visibility("default"))) int GetBmp(const char* path, int mode) {
  (void)mode;
  if (TEST_DECODER_MODE == MODE_REFUSE) return 0;
  if (TEST_DECODER_MODE == MODE_NO_FILE) return 1;
  if (TEST_DECODER_MODE == MODE_CHDIR && chdir("/") != 0) return 0;
  char bmp[4096];
  snprintf(bmp, sizeof bmp, "%s", path);
  char* dot = strrchr(bmp, '.');
  if (dot == NULL) return 0;
  strcpy(dot, ".bmp");
  FILE* out = fopen(bmp, "wb");
  if (out == NULL) return 0;
  unsigned char h[54];
  if (TEST_DECODER_MODE == MODE_CORRUPT) {
    fputs("BM this is no bitmap at all", out);
  } else if (TEST_DECODER_MODE == MODE_HUGE_DIMS) {
    header(h, 30000, 30000, 54);
    fwrite(h, 1, 54, out);
  } else if (TEST_DECODER_MODE == MODE_HUGE_FILE) {
    const unsigned side = 2400; /* 2400 * 2400 * 3 = 17.28 MB */
    header(h, side, side, 54 + side * side * 3);
    fwrite(h, 1, 54, out);
    static unsigned char row[2400 * 3];
    for (unsigned y = 0; y < side; ++y) fwrite(row, 1, sizeof row, out);
  } else if (TEST_DECODER_MODE == MODE_BIG_JPEG || TEST_DECODER_MODE == MODE_CHDIR) {
    /* Rows of 8 * 3 bytes need no padding. */
    const unsigned side = TEST_DECODER_MODE == MODE_BIG_JPEG ? 300 : 8;
    header(h, side, side, 54 + side * side * 3);
    fwrite(h, 1, 54, out);
    noisy_pixels(out, side);
  }
  fclose(out);
  return 1;
}
