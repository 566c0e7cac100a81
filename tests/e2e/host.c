/* A host program as integrators write them: loads the library at run time
 * and calls one export. Prints "result=<code>" and the buffer in hex. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Q48Reader.h"

typedef short (*NoArgs)(void);
typedef short (*WithBuffer)(char*);
typedef short (*Write)(const char*, const char*);

/* dlsym returns an object pointer; POSIX guarantees the conversion. */
#define LOOK_UP(type, name) (*(type*)lookup(library, name))

static void* lookup(void* library, const char* name) {
  static void* symbol;
  symbol = dlsym(library, name);
  if (symbol == NULL) {
    fprintf(stderr, "host: no %s\n", name);
    exit(2);
  }
  return &symbol;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: host LIBRARY list|read-card|iccid|card-type|write [CONTENT NUMBER]\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "host: %s\n", dlerror());
    return 2;
  }
  static char buffer[Q48_READ_CARD_BUFFER];
  short result;
  size_t shown = 0;
  const char* what = argv[2];
  if (strcmp(what, "list") == 0) {
    result = LOOK_UP(NoArgs, "zelListReaderCard")();
  } else if (strcmp(what, "read-card") == 0) {
    result = LOOK_UP(WithBuffer, "zelReadCard")(buffer);
    shown = 1000 + strlen(buffer + 1000);
  } else if (strcmp(what, "iccid") == 0) {
    result = LOOK_UP(WithBuffer, "zelReadICCID")(buffer);
    shown = Q48_ICCID_BUFFER;
  } else if (strcmp(what, "card-type") == 0) {
    result = LOOK_UP(NoArgs, "zelReadCardType")();
  } else if (strcmp(what, "write") == 0 && argc == 5) {
    result = LOOK_UP(Write, "zelWriteCard")(argv[3], argv[4]);
  } else {
    fprintf(stderr, "host: unknown request %s\n", what);
    return 2;
  }
  printf("result=%d\n", result);
  for (size_t i = 0; i < shown; ++i) printf("%02x", (unsigned char)buffer[i]);
  printf("\n");
  dlclose(library);
  return 0;
}
