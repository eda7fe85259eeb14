// SPDX-License-Identifier: GPL-2.0
/*
 * morvanti: a stand-in for the Morvanti GPU kernel driver, for the
 * real-kernel proving ground of qvgpu-vm-p2p.
 *
 * It offers exactly what qvgpu-vm-p2p relies on from the real driver:
 *   - /sys/bus/pci/drivers/morvanti while it is loaded;
 *   - per GPU a read-only "minor" attribute, the number of its device node;
 *   - per GPU a write-only "itr_debug" attribute that takes one command per
 *     write, "pt_p2p_cfg <minor> <hex address>\n" exactly as morvanti_cmd.h
 *     says, and refuses anything else with EINVAL;
 *   - one device node per GPU, /dev/morvanti0 .. morvanti<N-1>, made by
 *     devtmpfs through a device class, after the attributes exist.
 * It binds like a real driver: it enables the device and requests its BARs
 * (so a kernel with strict devmem refuses user mappings of them).  The
 * "p2p_peers" attribute, readable by root alone (it holds host-physical
 * addresses), shows what the GPU has been told, one "<minor> <hex address>"
 * line per known peer, and "probe_ns" when it took the GPU up, for the
 * checks.
 *
 * Only the build for Linux 6.1 is proven by the rig; the condition around
 * class_create() follows its change in 6.4.
 */
#include <linux/bitmap.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/idr.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/pci.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/version.h>

#include "morvanti_cmd.h"

#define MORVANTI_VENDOR 0x1f7a

struct morvanti_gpu {
	int minor;
	u64 probed_ns;		/* CLOCK_MONOTONIC when it took the GPU up */
	struct mutex lock;
	DECLARE_BITMAP(known, MORVANTI_MAX_GPUS);
	u64 peers[MORVANTI_MAX_GPUS];
};

static struct class *morvanti_class;
static dev_t morvanti_devt;
static DEFINE_IDA(morvanti_minors);

static ssize_t minor_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct morvanti_gpu *gpu = dev_get_drvdata(dev);

	return sysfs_emit(buf, "%d\n", gpu->minor);
}
static DEVICE_ATTR_RO(minor);

static ssize_t itr_debug_store(struct device *dev, struct device_attribute *attr,
			       const char *buf, size_t count)
{
	struct morvanti_gpu *gpu = dev_get_drvdata(dev);
	unsigned int minor;
	u64 address;

	if (morvanti_parse_cmd(buf, count, &minor, &address)) {
		dev_dbg(dev, "itr_debug: refused command of %zu bytes\n", count);
		return -EINVAL;
	}
	mutex_lock(&gpu->lock);
	gpu->peers[minor] = address;
	set_bit(minor, gpu->known);
	mutex_unlock(&gpu->lock);
	dev_dbg(dev, "peer %u at %llx\n", minor, address);
	return count;
}
static DEVICE_ATTR_WO(itr_debug);

static ssize_t p2p_peers_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct morvanti_gpu *gpu = dev_get_drvdata(dev);
	unsigned int minor;
	int len = 0;

	mutex_lock(&gpu->lock);
	for_each_set_bit(minor, gpu->known, MORVANTI_MAX_GPUS)
		len += sysfs_emit_at(buf, len, "%u %llx\n", minor, gpu->peers[minor]);
	mutex_unlock(&gpu->lock);
	return len;
}
static DEVICE_ATTR_ADMIN_RO(p2p_peers);

/* When the driver took the GPU up, on the clock of systemd's timestamps. */
static ssize_t probe_ns_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct morvanti_gpu *gpu = dev_get_drvdata(dev);

	return sysfs_emit(buf, "%llu\n", gpu->probed_ns);
}
static DEVICE_ATTR_ADMIN_RO(probe_ns);

static struct attribute *morvanti_attrs[] = {
	&dev_attr_minor.attr,
	&dev_attr_itr_debug.attr,
	&dev_attr_p2p_peers.attr,
	&dev_attr_probe_ns.attr,
	NULL,
};
ATTRIBUTE_GROUPS(morvanti);

static int morvanti_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	struct morvanti_gpu *gpu;
	struct device *node;
	int ret;

	gpu = devm_kzalloc(&pdev->dev, sizeof(*gpu), GFP_KERNEL);
	if (!gpu)
		return -ENOMEM;
	gpu->probed_ns = ktime_get_ns();
	mutex_init(&gpu->lock);

	ret = pcim_enable_device(pdev);
	if (ret)
		return ret;
	/* Holding BAR0 and BAR2 as the real driver does. */
	ret = pcim_iomap_regions(pdev, BIT(0) | BIT(2), KBUILD_MODNAME);
	if (ret)
		return ret;
	pci_set_master(pdev);

	gpu->minor = ida_alloc_max(&morvanti_minors, MORVANTI_MAX_GPUS - 1, GFP_KERNEL);
	if (gpu->minor < 0)
		return gpu->minor;
	pci_set_drvdata(pdev, gpu);

	/* The attributes exist before the node that announces the GPU. */
	ret = devm_device_add_groups(&pdev->dev, morvanti_groups);
	if (ret)
		goto free_minor;
	node = device_create(morvanti_class, &pdev->dev,
			     MKDEV(MAJOR(morvanti_devt), gpu->minor), NULL,
			     "morvanti%d", gpu->minor);
	if (IS_ERR(node)) {
		ret = PTR_ERR(node);
		goto free_minor;
	}
	dev_info(&pdev->dev, "taken up as morvanti%d\n", gpu->minor);
	return 0;

free_minor:
	ida_free(&morvanti_minors, gpu->minor);
	return ret;
}

static void morvanti_remove(struct pci_dev *pdev)
{
	struct morvanti_gpu *gpu = pci_get_drvdata(pdev);

	device_destroy(morvanti_class, MKDEV(MAJOR(morvanti_devt), gpu->minor));
	ida_free(&morvanti_minors, gpu->minor);
}

static const struct pci_device_id morvanti_ids[] = {
	{ PCI_DEVICE(MORVANTI_VENDOR, PCI_ANY_ID) },
	{ }
};
MODULE_DEVICE_TABLE(pci, morvanti_ids);

static struct pci_driver morvanti_driver = {
	.name = "morvanti",
	.id_table = morvanti_ids,
	.probe = morvanti_probe,
	.remove = morvanti_remove,
};

static int __init morvanti_init(void)
{
	int ret;

	ret = alloc_chrdev_region(&morvanti_devt, 0, MORVANTI_MAX_GPUS, "morvanti");
	if (ret)
		return ret;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	morvanti_class = class_create("morvanti");
#else
	morvanti_class = class_create(THIS_MODULE, "morvanti");
#endif
	if (IS_ERR(morvanti_class)) {
		ret = PTR_ERR(morvanti_class);
		goto unregister_region;
	}
	ret = pci_register_driver(&morvanti_driver);
	if (ret)
		goto destroy_class;
	return 0;

destroy_class:
	class_destroy(morvanti_class);
unregister_region:
	unregister_chrdev_region(morvanti_devt, MORVANTI_MAX_GPUS);
	return ret;
}

static void __exit morvanti_exit(void)
{
	pci_unregister_driver(&morvanti_driver);
	class_destroy(morvanti_class);
	unregister_chrdev_region(morvanti_devt, MORVANTI_MAX_GPUS);
}

module_init(morvanti_init);
module_exit(morvanti_exit);
MODULE_DESCRIPTION("Stand-in for the Morvanti GPU driver (qvgpu-vm-p2p test rig)");
MODULE_LICENSE("GPL");
