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
 *  - parameter nor_parts: partitions added on the NOR master after it is
 *    registered as a whole, so they take the next mtd numbers;
 *  - power cut: writing "MTDNUM:BYTES" to parameter cut lets the next BYTES
 *    bytes through to that MTD device, then stops the machine at once
 *    through qemu's isa-debug-exit port, like pulling the plug;
 *  - freezing cut: "MTDNUM:write|erase:BYTES" in parameter freeze lets BYTES
 *    more bytes be written (or erased) there, then kills the session that
 *    crossed the budget and fails every write and erase of that flash with
 *    EIO until "off" is written.
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

/* ---- NOR partitions ---- */

#define NOR_PARTS_MAX 32
static int nor_part_index[NOR_PARTS_MAX];
static int nor_part_count;

static struct mtd_info *nor_master(void)
{
	struct mtd_info *mtd;
	int i;

	/* physmap registers the whole chip as a device of its own: it has no partition parsers */
	for (i = 0; i < 64; i++) {
		mtd = get_mtd_device(NULL, i);
		if (IS_ERR(mtd))
			continue;
		if (!mtd_is_partition(mtd) && nor_pdev && mtd->dev.parent == &nor_pdev->dev)
			return mtd;
		put_mtd_device(mtd);
	}
	return NULL;
}

/* "NAME@OFFSET+SIZE,..." (C-style numbers) in the order the partitions get their mtd numbers */
static int nor_parts_set(const char *val, const struct kernel_param *kp)
{
	struct { char *name; u64 offset, size; } parts[NOR_PARTS_MAX];
	char *text, *cursor, *entry, *num;
	struct mtd_info *master, *child;
	int n = 0, i, ret = 0;

	if (nor_part_count)
		return -EBUSY;
	text = kstrdup(val, GFP_KERNEL);
	if (!text)
		return -ENOMEM;
	master = nor_master();
	if (!master) {
		ret = -ENODEV;
		goto out;
	}
	cursor = strim(text);
	while ((entry = strsep(&cursor, ",")) && *entry) {
		if (n == NOR_PARTS_MAX) {
			ret = -E2BIG;
			goto out;
		}
		parts[n].name = strsep(&entry, "@");
		num = strsep(&entry, "+");
		if (!entry || !*parts[n].name || !num || kstrtou64(num, 0, &parts[n].offset) ||
		    kstrtou64(entry, 0, &parts[n].size) || !parts[n].size ||
		    parts[n].offset >= master->size || parts[n].size > master->size - parts[n].offset ||
		    mtd_mod_by_eb(parts[n].offset, master) || mtd_mod_by_eb(parts[n].size, master)) {
			pr_err("board: bad NOR partition %s\n", parts[n].name);
			ret = -EINVAL;
			goto out;
		}
		n++;
	}
	for (i = 0; i < n; i++) {
		/* the name must outlive the partition, which lives as long as the machine */
		char *name = kstrdup(parts[i].name, GFP_KERNEL);

		ret = name ? mtd_add_partition(master, name, parts[i].offset, parts[i].size) : -ENOMEM;
		if (ret)
			break;
		mutex_lock(&master->master.partitions_lock);
		child = list_last_entry(&master->partitions, struct mtd_info, part.node);
		nor_part_index[nor_part_count++] = child->index;
		mutex_unlock(&master->master.partitions_lock);
	}
out:
	if (master)
		put_mtd_device(master);
	kfree(text);
	return ret;
}

static int nor_parts_get(char *buf, const struct kernel_param *kp)
{
	int i, len = 0;

	for (i = 0; i < nor_part_count; i++)
		len += sysfs_emit_at(buf, len, "%s/dev/mtd%d", i ? " " : "", nor_part_index[i]);
	return len + sysfs_emit_at(buf, len, "\n");
}

static const struct kernel_param_ops nor_parts_ops = {
	.set = nor_parts_set,
	.get = nor_parts_get,
};
module_param_cb(nor_parts, &nor_parts_ops, NULL, 0644);
MODULE_PARM_DESC(nor_parts, "NAME@OFFSET+SIZE,... - partitions added on the NOR master; reads back their devices");

/* ---- power cut and freezing cut ----
 * Both wrap the flash master's write, write_oob and erase (whichever it has)
 * and count the bytes that reach one partition. The power cut stops the
 * machine; the freeze kills the session of the process that crossed the
 * budget and makes the whole master refuse writes and erases until "off".
 * One of them is armed at a time. */

enum hook_mode { HOOK_OFF, HOOK_CUT, HOOK_FREEZE };
enum hook_kind { COUNT_WRITE, COUNT_ERASE };
enum verdict { PASS, REFUSE, FIRE };

static DEFINE_MUTEX(arm_lock);
static DEFINE_SPINLOCK(hook_lock);
static enum hook_mode hook_mode;
static enum hook_kind hook_kind;
static bool frozen;
static struct mtd_info *hook_mtd, *hook_master;
static u64 hook_start, hook_end;
static long long hook_left = -1;
static int (*orig_write)(struct mtd_info *, loff_t, size_t, size_t *, const u_char *);
static int (*orig_write_oob)(struct mtd_info *, loff_t, struct mtd_oob_ops *);
static int (*orig_erase)(struct mtd_info *, struct erase_info *);
static int (*orig_markbad)(struct mtd_info *, loff_t);

static void __noreturn pull_the_plug(void)
{
	pr_emerg("board: power cut\n");
	outb(0x21, 0xf4);
	for (;;)
		msleep(1000);
}

/*
 * Decides an operation on len bytes at master offset ofs. FIRE: the operation
 * crosses the budget, and only the first *allowed bytes (whole units of unit)
 * may still be done; bytes outside the partition are not counted.
 */
static enum verdict judge(enum hook_kind kind, u64 ofs, u64 len, u32 unit, u64 *allowed)
{
	enum verdict v = PASS;
	unsigned long flags;
	u64 head, counted;

	*allowed = 0;
	spin_lock_irqsave(&hook_lock, flags);
	if (frozen) {
		v = REFUSE;
	} else if (hook_mode != HOOK_OFF && hook_left >= 0 && kind == hook_kind && ofs + len > hook_start &&
		   ofs < hook_end) {
		head = ofs < hook_start ? hook_start - ofs : 0;
		counted = min(len, hook_end - ofs) - head;
		if (counted > hook_left) {
			*allowed = head + hook_left;
			*allowed -= *allowed % unit;
			hook_left = 0;
			frozen = hook_mode == HOOK_FREEZE;
			v = FIRE;
		} else {
			hook_left -= counted;
		}
	}
	spin_unlock_irqrestore(&hook_lock, flags);
	return v;
}

static void fire(void)
{
	struct task_struct *p;
	struct pid *sid;

	if (hook_mode == HOOK_CUT)
		pull_the_plug();
	pr_info("board: flash frozen\n");
	/* a kernel thread has no session of its own to kill */
	if (current->flags & PF_KTHREAD)
		return;
	rcu_read_lock();
	sid = task_session(current);
	for_each_process(p)
		if (!is_global_init(p) && !(p->flags & PF_KTHREAD) && task_session(p) == sid)
			send_sig(SIGKILL, p, 1);
	rcu_read_unlock();
}

static int hooked_write(struct mtd_info *mtd, loff_t to, size_t len, size_t *retlen, const u_char *buf)
{
	u64 allowed;
	enum verdict v = judge(COUNT_WRITE, to, len, mtd->writesize, &allowed);

	if (v == PASS)
		return orig_write(mtd, to, len, retlen, buf);
	*retlen = 0;
	if (v == FIRE) {
		if (allowed)
			orig_write(mtd, to, allowed, retlen, buf);
		fire();
	}
	return -EIO;
}

static int hooked_write_oob(struct mtd_info *mtd, loff_t to, struct mtd_oob_ops *ops)
{
	u64 allowed;
	enum verdict v = judge(COUNT_WRITE, to, ops->len, mtd->writesize, &allowed);

	if (v == PASS)
		return orig_write_oob(mtd, to, ops);
	ops->retlen = ops->oobretlen = 0;
	if (v == FIRE) {
		if (allowed) {
			struct mtd_oob_ops part = *ops;

			part.len = allowed;
			part.ooblen = 0;
			part.oobbuf = NULL;
			orig_write_oob(mtd, to, &part);
			ops->retlen = part.retlen;
		}
		fire();
	}
	return -EIO;
}

static int hooked_erase(struct mtd_info *mtd, struct erase_info *instr)
{
	u64 allowed;
	enum verdict v = judge(COUNT_ERASE, instr->addr, instr->len, mtd->erasesize, &allowed);
	int ret = 0;

	if (v == PASS)
		return orig_erase(mtd, instr);
	instr->fail_addr = instr->addr;
	if (v == FIRE) {
		if (allowed) {
			struct erase_info part = *instr;

			part.len = allowed;
			ret = orig_erase(mtd, &part);
			instr->fail_addr = ret ? part.fail_addr : instr->addr + allowed;
		}
		fire();
	}
	return ret ?: -EIO;
}

static int hooked_markbad(struct mtd_info *mtd, loff_t ofs)
{
	u64 allowed;

	/* a frozen flash records nothing, not even a block its writer gave up on */
	if (judge(COUNT_WRITE, ofs, 0, 1, &allowed) == REFUSE)
		return -EIO;
	return orig_markbad(mtd, ofs);
}

static int hook_arm(unsigned int num, enum hook_mode mode, enum hook_kind kind, long long bytes)
{
	struct mtd_info *mtd, *master;
	unsigned long flags;
	int ret = 0;

	mutex_lock(&arm_lock);
	if (hook_mode != HOOK_OFF) {
		ret = -EBUSY;
		goto out;
	}
	mtd = get_mtd_device(NULL, num);
	if (IS_ERR(mtd)) {
		ret = PTR_ERR(mtd);
		goto out;
	}
	master = mtd_get_master(mtd);
	spin_lock_irqsave(&hook_lock, flags);
	hook_mtd = mtd;
	hook_master = master;
	hook_start = mtd_get_master_ofs(mtd, 0);
	hook_end = hook_start + mtd->size;
	hook_left = bytes;
	hook_kind = kind;
	hook_mode = mode;
	frozen = false;
	spin_unlock_irqrestore(&hook_lock, flags);
	/* only the operations the master has: the core checks which ones exist */
	orig_write = master->_write;
	orig_write_oob = master->_write_oob;
	orig_erase = master->_erase;
	orig_markbad = master->_block_markbad;
	if (orig_write)
		master->_write = hooked_write;
	if (orig_write_oob)
		master->_write_oob = hooked_write_oob;
	if (orig_erase)
		master->_erase = hooked_erase;
	if (orig_markbad)
		master->_block_markbad = hooked_markbad;
out:
	mutex_unlock(&arm_lock);
	return ret;
}

static int cut_set(const char *val, const struct kernel_param *kp)
{
	unsigned int num;
	long long bytes;
	int ret;

	if (sscanf(val, "%u:%lld", &num, &bytes) != 2 || bytes < 0)
		return -EINVAL;
	/* the machine stops when it fires: the hooks and the device reference stay */
	ret = hook_arm(num, HOOK_CUT, COUNT_WRITE, bytes);
	if (!ret)
		pr_info("board: power cut armed on mtd%u after %lld bytes\n", num, bytes);
	return ret;
}

static int cut_get(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%lld\n", hook_mode == HOOK_CUT ? hook_left : -1);
}

static const struct kernel_param_ops cut_ops = {
	.set = cut_set,
	.get = cut_get,
};
module_param_cb(cut, &cut_ops, NULL, 0644);
MODULE_PARM_DESC(cut, "MTDNUM:BYTES - stop the machine after BYTES more bytes are written to mtdMTDNUM");

static int freeze_off(void)
{
	struct mtd_info *master = hook_master;
	unsigned long flags;
	int ret = 0;

	mutex_lock(&arm_lock);
	if (hook_mode == HOOK_CUT) {
		ret = -EBUSY;
	} else if (hook_mode == HOOK_FREEZE) {
		/* the saved operations stay valid for calls still inside a hook */
		if (orig_write)
			master->_write = orig_write;
		if (orig_write_oob)
			master->_write_oob = orig_write_oob;
		if (orig_erase)
			master->_erase = orig_erase;
		if (orig_markbad)
			master->_block_markbad = orig_markbad;
		spin_lock_irqsave(&hook_lock, flags);
		hook_mode = HOOK_OFF;
		frozen = false;
		hook_left = -1;
		spin_unlock_irqrestore(&hook_lock, flags);
		put_mtd_device(hook_mtd);
		pr_info("board: freeze off\n");
	}
	mutex_unlock(&arm_lock);
	return ret;
}

static int freeze_set(const char *val, const struct kernel_param *kp)
{
	char *text, *cursor, *field[3];
	unsigned int num;
	long long bytes;
	int i, ret = -EINVAL;

	if (sysfs_streq(val, "off"))
		return freeze_off();
	text = kstrdup(val, GFP_KERNEL);
	if (!text)
		return -ENOMEM;
	cursor = strim(text);
	for (i = 0; i < 3; i++)
		field[i] = strsep(&cursor, ":");
	if (field[2] && !kstrtouint(field[0], 10, &num) && !kstrtoll(field[2], 0, &bytes) && bytes >= 0 &&
	    (!strcmp(field[1], "write") || !strcmp(field[1], "erase"))) {
		ret = hook_arm(num, HOOK_FREEZE, field[1][0] == 'w' ? COUNT_WRITE : COUNT_ERASE, bytes);
		if (!ret)
			pr_info("board: freeze armed on mtd%u after %lld bytes (%s)\n", num, bytes, field[1]);
	}
	kfree(text);
	return ret;
}

static int freeze_get(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%s\n", hook_mode != HOOK_FREEZE ? "off" : frozen ? "frozen" : "armed");
}

static const struct kernel_param_ops freeze_ops = {
	.set = freeze_set,
	.get = freeze_get,
};
module_param_cb(freeze, &freeze_ops, NULL, 0644);
MODULE_PARM_DESC(freeze, "MTDNUM:write|erase:BYTES or off - freeze the flash after BYTES more bytes; reads off, armed or frozen");

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
		/* no partition parsers: the chip registers as one device, mtd partitions come from nor_parts */
		static const char * const no_parsers[] = { NULL };
		static struct physmap_flash_data pdata = { .width = 1, .part_probe_types = no_parsers };
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
