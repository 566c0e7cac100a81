/* Links against the installed library and calls an export. */
#include <stdio.h>

#include <Q48Reader.h>

int main(void) {
  char iccid[Q48_ICCID_BUFFER] = {0};
  (void)iccid;
  short result = zelListReaderCard();
  printf("zelListReaderCard=%d\n", result);
  return result == Q48_READER_FOUND || result == Q48_OK || result == Q48_ERR_NO_READER ? 0 : 1;
}
