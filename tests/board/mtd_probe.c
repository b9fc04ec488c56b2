/* mtd_probe: asks the board's drivers what the firmware will ask them.
 *   mtd_probe info DEV            MEMGETINFO: "type=T flags=F size=S erasesize=E writesize=W oobsize=O"
 *   mtd_probe erase DEV OFFSET LENGTH   one MEMERASE: "0" or "error=ERRNO"
 *   mtd_probe whole DEV IMAGE[@OFFSET+LENGTH]...
 *                                 reads all of DEV once and prints the first IMAGE (its whole file,
 *                                 or LENGTH bytes from OFFSET) that DEV holds from its start, then
 *                                 erased flash (0xFF) to its end, bad blocks skipped as a writer
 *                                 skips them; else "none" and where each differs, status 1.
 *                                 /dev/null stands for an erased device. Devices that answer no
 *                                 MEMGETINFO (UBI volumes) are read whole, without bad blocks.
 * Built static so that it runs on the board without its own libraries. */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* whole: the images are read into memory, the device once, block by block */
static int whole(const char *dev, int n, char **spec)
{
	static unsigned char block[1 << 20], erased[1 << 20];
	unsigned char *data[8];
	long long len[8], differs[8], good = 0; /* good: bytes read from good blocks, the place in every image */
	struct mtd_info_user mi = {.erasesize = 128 << 10};
	int fd = open(dev, O_RDONLY), mtd = fd >= 0 && ioctl(fd, MEMGETINFO, &mi) == 0;
	if (fd < 0 || n > 8 || mi.erasesize > sizeof block)
		return fprintf(stderr, "mtd_probe: cannot read %s\n", dev), 2;
	for (int i = 0; i < n; i++) {
		char path[256];
		long long off = 0;
		len[i] = differs[i] = -1;
		FILE *f = sscanf(spec[i], "%255[^@]@%lli+%lli", path, &off, &len[i]) > 0 ? fopen(path, "rb") : NULL;
		if (!f || fseek(f, 0, SEEK_END) || (len[i] < 0 && (len[i] = ftell(f) - off) < 0) || fseek(f, off, SEEK_SET) ||
		    !(data[i] = malloc(len[i] + 1)) || fread(data[i], 1, len[i], f) != (size_t)len[i])
			return fprintf(stderr, "mtd_probe: cannot read %s\n", spec[i]), 2;
		fclose(f);
	}
	memset(erased, 0xff, sizeof erased);
	ssize_t got;
	for (long long off = 0, at; !mtd || off < mi.size; off += got) {
		got = mi.erasesize;
		if (mtd && ioctl(fd, MEMGETBADBLOCK, (at = off, &at)) > 0)
			continue;
		if ((got = pread(fd, block, mi.erasesize, off)) <= 0)
			break;
		for (int i = 0; i < n; i++) {
			long long in = len[i] <= good ? 0 : len[i] - good < got ? len[i] - good : got; /* image bytes here */
			if (differs[i] < 0 && (memcmp(block, data[i] + (in ? good : 0), in) || memcmp(block + in, erased, got - in)))
				for (long long k = 0; differs[i] < 0; k++)
					if (block[k] != (k < in ? data[i][good + k] : 0xff))
						differs[i] = off + k;
		}
		good += got;
	}
	for (int i = 0; i < n; i++)
		if (differs[i] < 0 && len[i] <= good)
			return printf("%s\n", spec[i]), 0;
	printf("none:"); /* an image longer than the device differs where the device ends */
	for (int i = 0; i < n; i++)
		printf(" %s differs at %#llx;", spec[i], differs[i] < 0 ? good : differs[i]);
	return printf("\n"), 1;
}

int main(int argc, char **argv)
{
	const char *cmd = argc > 2 ? argv[1] : "";
	if (!strcmp(cmd, "whole") && argc >= 4)
		return whole(argv[2], argc - 3, argv + 3);
	int info = !strcmp(cmd, "info") && argc == 3, erase = !strcmp(cmd, "erase") && argc == 5;
	if (!info && !erase)
		return fprintf(stderr, "usage: mtd_probe info DEV | erase DEV OFFSET LENGTH | whole DEV IMAGE[@OFFSET+LENGTH]...\n"), 2;
	struct mtd_info_user mi;
	struct erase_info_user range = {erase ? strtoul(argv[3], NULL, 0) : 0, erase ? strtoul(argv[4], NULL, 0) : 0};
	int fd = open(argv[2], erase ? O_RDWR : O_RDONLY);
	if (fd < 0 || ioctl(fd, info ? MEMGETINFO : MEMERASE, info ? (void *)&mi : &range) < 0)
		return printf("error=%d\n", errno), 1;
	if (info)
		printf("type=%u flags=%u size=%u erasesize=%u writesize=%u oobsize=%u\n", mi.type, mi.flags, mi.size,
		       mi.erasesize, mi.writesize, mi.oobsize);
	else
		printf("0\n");
	return 0;
}
