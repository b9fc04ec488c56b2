/* mtd_probe: asks the board's drivers what the firmware will ask them.
 *   mtd_probe info DEV            MEMGETINFO: "type=T flags=F size=S erasesize=E writesize=W oobsize=O"
 *   mtd_probe bad DEV OFFSET      MEMGETBADBLOCK result for the block at OFFSET ("error=ERRNO" on failure)
 *   mtd_probe erase DEV OFFSET LENGTH   one MEMERASE: "0" or "error=ERRNO"
 * Built static so that it runs on the board without its own libraries. */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc == 3 && !strcmp(argv[1], "info")) {
		struct mtd_info_user info;
		int fd = open(argv[2], O_RDONLY);
		if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0) {
			printf("error=%d\n", errno);
			return 1;
		}
		printf("type=%u flags=%u size=%u erasesize=%u writesize=%u oobsize=%u\n", info.type, info.flags,
		       info.size, info.erasesize, info.writesize, info.oobsize);
		close(fd);
		return 0;
	}
	if (argc == 4 && !strcmp(argv[1], "bad")) {
		long long offset = strtoll(argv[3], NULL, 0);
		int fd = open(argv[2], O_RDONLY);
		int ret = fd < 0 ? -1 : ioctl(fd, MEMGETBADBLOCK, &offset);
		if (ret < 0) {
			printf("error=%d\n", errno);
			return 1;
		}
		printf("%d\n", ret);
		close(fd);
		return 0;
	}
	if (argc == 5 && !strcmp(argv[1], "erase")) {
		struct erase_info_user range = {strtoul(argv[3], NULL, 0), strtoul(argv[4], NULL, 0)};
		int fd = open(argv[2], O_RDWR);
		if (fd < 0 || ioctl(fd, MEMERASE, &range) < 0) {
			printf("error=%d\n", errno);
			return 1;
		}
		printf("0\n");
		close(fd);
		return 0;
	}
	fprintf(stderr, "usage: mtd_probe info DEV | bad DEV OFFSET | erase DEV OFFSET LENGTH\n");
	return 2;
}
