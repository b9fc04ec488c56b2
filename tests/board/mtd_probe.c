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

int main(int argc, char **argv)
{
	int info = argc == 3 && !strcmp(argv[1], "info"), bad = argc == 4 && !strcmp(argv[1], "bad");
	int erase = argc == 5 && !strcmp(argv[1], "erase");
	if (!info && !bad && !erase) {
		fprintf(stderr, "usage: mtd_probe info DEV | bad DEV OFFSET | erase DEV OFFSET LENGTH\n");
		return 2;
	}
	struct mtd_info_user mi;
	long long offset = bad ? strtoll(argv[3], NULL, 0) : 0;
	struct erase_info_user range = {erase ? strtoul(argv[3], NULL, 0) : 0, erase ? strtoul(argv[4], NULL, 0) : 0};
	int fd = open(argv[2], erase ? O_RDWR : O_RDONLY);
	int ret = fd < 0 ? -1
		: info ? ioctl(fd, MEMGETINFO, &mi)
		       : ioctl(fd, bad ? MEMGETBADBLOCK : MEMERASE, bad ? (void *)&offset : &range);
	if (ret < 0) {
		printf("error=%d\n", errno);
		return 1;
	}
	if (info)
		printf("type=%u flags=%u size=%u erasesize=%u writesize=%u oobsize=%u\n", mi.type, mi.flags, mi.size,
		       mi.erasesize, mi.writesize, mi.oobsize);
	else
		printf("%d\n", ret);
	return 0;
}
