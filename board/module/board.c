// SPDX-License-Identifier: GPL-2.0
/*
 * Platform pieces of the simulated recorder board that the stock kernel lacks:
 *  - /proc/board_type, /proc/uboot_rev, /proc/env: text files set by the board's
 *    init (root writes the whole content, everybody reads it);
 *  - /proc/rmc/test: the reset interface; a write is kept (readable back) and
 *    pid 1 is told with SIGPWR so that it can record the reset and power off;
 *  - /dev/hal_nvram: the nvram driver, one ioctl (0x40615) that stores a
 *    name/value item; read() lists the stored items as "name=value" lines;
 *    parameter nvram_fail makes the next N requests fail with EIO;
 *  - a physmap region for the NOR flash that qemu maps below the firmware
 *    (parameters nor_base, nor_size);
 *  - power cut: writing "MTDNUM:BYTES" to parameter cut lets the next BYTES
 *    bytes through to that MTD device, then stops the machine at once
 *    through qemu's isa-debug-exit port, like pulling the plug.
 */
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/uaccess.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mutex.h>
#include <linux/miscdevice.h>
#include <linux/fs.h>
#include <linux/sched/signal.h>
#include <linux/platform_device.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/physmap.h>
#include <linux/delay.h>
#include <linux/io.h>

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("simulated recorder board platform");

#define TEXT_MAX (64 * 1024)

struct text_file {
	const char *name;
	char *data;
	size_t len;
	struct mutex lock;
};

static struct text_file texts[] = {
	{ .name = "board_type" },
	{ .name = "uboot_rev" },
	{ .name = "env" },
	{ .name = "rmc/test" },
};
#define RMC_INDEX 3

static ssize_t text_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	struct text_file *t = pde_data(file_inode(file));
	ssize_t ret;

	mutex_lock(&t->lock);
	ret = simple_read_from_buffer(buf, count, ppos, t->data, t->len);
	mutex_unlock(&t->lock);
	return ret;
}

static ssize_t text_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	struct text_file *t = pde_data(file_inode(file));
	loff_t pos = *ppos;

	if (t == &texts[RMC_INDEX]) {
		/* the reset interface appends, so every request stays visible */
		pos = t->len;
	}
	if (pos < 0 || pos >= TEXT_MAX || count > TEXT_MAX - pos)
		return -ENOSPC;
	mutex_lock(&t->lock);
	if (pos > t->len)
		memset(t->data + t->len, 0, pos - t->len);
	if (copy_from_user(t->data + pos, buf, count)) {
		mutex_unlock(&t->lock);
		return -EFAULT;
	}
	/* a write from the start replaces the content, as for a regular file opened with O_TRUNC */
	t->len = pos + count;
	mutex_unlock(&t->lock);
	*ppos = pos + count;
	if (t == &texts[RMC_INDEX]) {
		pr_info("board: reset interface written\n");
		kill_pid(find_vpid(1), SIGPWR, 1);
	}
	return count;
}

static int text_open(struct inode *inode, struct file *file)
{
	struct text_file *t = pde_data(inode);

	if ((file->f_flags & O_TRUNC) && (file->f_mode & FMODE_WRITE) && t != &texts[RMC_INDEX]) {
		mutex_lock(&t->lock);
		t->len = 0;
		mutex_unlock(&t->lock);
	}
	return 0;
}

static const struct proc_ops text_ops = {
	.proc_open = text_open,
	.proc_read = text_read,
	.proc_write = text_write,
	.proc_lseek = default_llseek,
};

/* ---- nvram ---- */

#define NVRAM_SET 0x40615
#define NV_NAME 64
#define NV_VALUE 5120
#define NV_ITEMS 64

struct nvram_item {
	char name[NV_NAME];
	char value[NV_VALUE];
};

static struct nvram_item *nv_items;
static int nv_count;
static DEFINE_MUTEX(nv_lock);
static int nvram_fail;
module_param(nvram_fail, int, 0644);
MODULE_PARM_DESC(nvram_fail, "number of nvram requests that fail with EIO");

static long nvram_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct nvram_item *item;
	int i;
	long ret = 0;

	if (cmd != NVRAM_SET)
		return -ENOTTY;
	item = kmalloc(sizeof(*item), GFP_KERNEL);
	if (!item)
		return -ENOMEM;
	if (copy_from_user(item, (void __user *)arg, sizeof(*item))) {
		kfree(item);
		return -EFAULT;
	}
	item->name[NV_NAME - 1] = 0;
	item->value[NV_VALUE - 1] = 0;
	mutex_lock(&nv_lock);
	if (nvram_fail > 0) {
		nvram_fail--;
		ret = -EIO;
		goto out;
	}
	for (i = 0; i < nv_count; i++)
		if (!strcmp(nv_items[i].name, item->name))
			break;
	if (i == NV_ITEMS) {
		ret = -ENOSPC;
		goto out;
	}
	memcpy(&nv_items[i], item, sizeof(*item));
	if (i == nv_count)
		nv_count++;
out:
	mutex_unlock(&nv_lock);
	kfree(item);
	return ret;
}

static ssize_t nvram_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	char *text;
	size_t len = 0, cap = NV_ITEMS * (NV_NAME + NV_VALUE + 2);
	ssize_t ret;
	int i;

	text = vmalloc(cap);
	if (!text)
		return -ENOMEM;
	mutex_lock(&nv_lock);
	for (i = 0; i < nv_count; i++)
		len += scnprintf(text + len, cap - len, "%s=%s\n", nv_items[i].name, nv_items[i].value);
	mutex_unlock(&nv_lock);
	ret = simple_read_from_buffer(buf, count, ppos, text, len);
	vfree(text);
	return ret;
}

static const struct file_operations nvram_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = nvram_ioctl,
	.compat_ioctl = nvram_ioctl,
	.read = nvram_read,
	.llseek = default_llseek,
};

static struct miscdevice nvram_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "hal_nvram",
	.fops = &nvram_fops,
	.mode = 0666,
};

/* ---- NOR window ---- */

static unsigned long nor_base;
static unsigned long nor_size;
module_param(nor_base, ulong, 0444);
module_param(nor_size, ulong, 0444);
static struct platform_device *nor_pdev;

/* ---- power cut ---- */

static struct mtd_info *cut_master;
static loff_t cut_start, cut_end;
static long long cut_left = -1;
static DEFINE_SPINLOCK(cut_lock);
static int (*orig_write)(struct mtd_info *, loff_t, size_t, size_t *, const u_char *);
static int (*orig_write_oob)(struct mtd_info *, loff_t, struct mtd_oob_ops *);

static void __noreturn pull_the_plug(void)
{
	pr_emerg("board: power cut\n");
	outb(0x21, 0xf4);
	for (;;)
		msleep(1000);
}

/* How many of len bytes written at to may still go through before the cut. */
static size_t cut_budget(loff_t to, size_t len)
{
	size_t allowed = len;
	unsigned long flags;

	if (to + len <= cut_start || to >= cut_end)
		return len;
	spin_lock_irqsave(&cut_lock, flags);
	if (cut_left >= 0) {
		if ((long long)len > cut_left)
			allowed = cut_left;
		cut_left -= allowed;
	}
	spin_unlock_irqrestore(&cut_lock, flags);
	return allowed;
}

static int cut_write(struct mtd_info *mtd, loff_t to, size_t len, size_t *retlen, const u_char *buf)
{
	size_t allowed = cut_budget(to, len);

	if (allowed < len) {
		if (allowed)
			orig_write(mtd, to, allowed, retlen, buf);
		pull_the_plug();
	}
	return orig_write(mtd, to, len, retlen, buf);
}

static int cut_write_oob(struct mtd_info *mtd, loff_t to, struct mtd_oob_ops *ops)
{
	size_t allowed = cut_budget(to, ops->len);

	if (allowed < ops->len) {
		struct mtd_oob_ops part = *ops;

		/* NAND programs whole pages only */
		part.len = allowed - allowed % mtd->writesize;
		part.ooblen = 0;
		part.oobbuf = NULL;
		if (part.len)
			orig_write_oob(mtd, to, &part);
		pull_the_plug();
	}
	return orig_write_oob(mtd, to, ops);
}

static int cut_set(const char *val, const struct kernel_param *kp)
{
	unsigned int num;
	long long bytes;
	struct mtd_info *mtd, *master;

	if (sscanf(val, "%u:%lld", &num, &bytes) != 2 || bytes < 0)
		return -EINVAL;
	if (cut_master)
		return -EBUSY;
	mtd = get_mtd_device(NULL, num);
	if (IS_ERR(mtd))
		return PTR_ERR(mtd);
	master = mtd_get_master(mtd);
	cut_start = mtd_get_master_ofs(mtd, 0);
	cut_end = cut_start + mtd->size;
	cut_left = bytes;
	cut_master = master;
	/* the reference is kept on purpose: the wrapped device must not go away */
	if (master->_write_oob) {
		orig_write_oob = master->_write_oob;
		master->_write_oob = cut_write_oob;
	} else {
		orig_write = master->_write;
		master->_write = cut_write;
	}
	pr_info("board: power cut armed on mtd%u after %lld bytes\n", num, bytes);
	return 0;
}

static int cut_get(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%lld\n", cut_left);
}

static const struct kernel_param_ops cut_ops = {
	.set = cut_set,
	.get = cut_get,
};
module_param_cb(cut, &cut_ops, &cut_left, 0644);
MODULE_PARM_DESC(cut, "MTDNUM:BYTES - stop the machine after BYTES more bytes are written to mtdMTDNUM");

static int __init board_init(void)
{
	int i, ret;

	if (!proc_mkdir("rmc", NULL))
		return -ENOMEM;
	for (i = 0; i < ARRAY_SIZE(texts); i++) {
		mutex_init(&texts[i].lock);
		texts[i].data = vzalloc(TEXT_MAX);
		if (!texts[i].data)
			return -ENOMEM;
		if (!proc_create_data(texts[i].name, i == RMC_INDEX ? 0666 : 0644, NULL, &text_ops, &texts[i]))
			return -ENOMEM;
	}
	nv_items = vzalloc(sizeof(*nv_items) * NV_ITEMS);
	if (!nv_items)
		return -ENOMEM;
	ret = misc_register(&nvram_dev);
	if (ret)
		return ret;
	if (nor_size) {
		static struct physmap_flash_data pdata = { .width = 1 };
		struct resource res = DEFINE_RES_MEM(nor_base, nor_size);

		nor_pdev = platform_device_register_resndata(NULL, "physmap-flash", 0, &res, 1,
							     &pdata, sizeof(pdata));
		if (IS_ERR(nor_pdev))
			return PTR_ERR(nor_pdev);
	}
	return 0;
}
module_init(board_init);
/* no exit: the board's platform stays for the life of the machine */
