/* rate_log.so, preloaded into the updater on the board: the progress file is
 * replaced by a rename for every value, so no reader can be sure to see each
 * one. Each file renamed onto /tmp/update_rate.log is copied first, followed
 * by a blank, to the end of the file that $RATE_LOG names. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int rename(const char *from, const char *to)
{
	const char *log = getenv("RATE_LOG");
	if (log && !strcmp(to, "/tmp/update_rate.log")) {
		char text[32];
		int in = open(from, O_RDONLY), out = open(log, O_WRONLY | O_APPEND | O_CREAT, 0644);
		ssize_t len = in >= 0 ? read(in, text, sizeof text - 1) : -1;
		if (len >= 0 && out >= 0)
			text[len] = ' ', (void)!write(out, text, len + 1);
		close(in), close(out);
	}
	return ((int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename"))(from, to);
}
