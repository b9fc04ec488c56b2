/* The plain byte-wise table loop over a package's checksum range, as a
 * yardstick for the updater's verify: same table, same 256 KiB reads. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: crc_loop PACKAGE\n");
        return 2;
    }
    static uint32_t table[256];
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int b = 0; b < 8; b++) {
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        }
        table[i] = c;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0 || lseek(fd, 4096, SEEK_SET) < 0) {
        perror(argv[1]);
        return 1;
    }
    static uint8_t buf[0x40000];
    uint32_t crc = 0xFFFFFFFFu;
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        for (ssize_t i = 0; i < n; i++) {
            crc = (crc << 8) ^ table[(crc >> 24) ^ buf[i]];
        }
    }
    close(fd);
    if (n < 0) {
        perror("read");
        return 1;
    }
    printf("%u\n", crc);
    return 0;
}
