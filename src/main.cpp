#include <cstdio>

#include "cloud_dump.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    printf("\n Usage : %s bagfile\n\n", argc > 0 ? argv[0] : "bag_cloud_dump");
    return 2;
  }
  return PlayPointCloud2(argv[1]) ? 0 : 1;
}
