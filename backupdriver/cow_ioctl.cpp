/*
 * cow_ioctl.cpp - the control device's command dispatcher.
 *
 * Every command runs in the calling thread; the dispatcher takes no lock of its own, each
 * handler serialises what it needs. The complete 32-bit number is compared, so a known
 * command number with another size or direction field is an unknown command.
 */
#include "cow.h"

#include <linux/kernel.h>

/* The start command of agents older than the current protocol. Reads nothing. */
int handle_ioctlStartVK(unsigned long arg)
{
	printk(KERN_ERR "%s: ERROR: The tarvish or qel-agent making this snapshot request is out "
	       "of date. Please update to the latest version.\n", VEK_TAG);
	return -255;
}

/* Process context: the calling agent thread. */
int cow_ioctl(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg)
{
	switch (cmd) {
	case VEK_IOCTL_START_VK:
		return handle_ioctlStartVK(arg);
	case VEK_IOCTL_STOP_VK:
		return handle_ioctlStopVK(arg);
	case VEK_IOCTL_GET_VK_LIST:
		return handle_ioctlGetVKList(arg);
	case VEK_IOCTL_GET_VK_DEV:
		return handle_ioctlGetVKDev(arg);
	case VEK_IOCTL_GET_DEV_PATH:
		return handle_ioctlGetDevPath(arg);
	case VEK_IOCTL_GET_BACKING_FILE:
		return handle_ioctlGetBackingFile(arg);
	case VEK_IOCTL_GET_SESSION_ERROR:
		return handle_ioctlGetSessionError(arg);
	case VEK_IOCTL_GET_CHANGED_RECORDS:
		return handle_ioctlGetChangedRecords(arg);
	case VEK_IOCTL_UNBLOCK_CHANGE_RECORDS:
		return handle_ioctlUnblockChangeRecords(arg);
	case VEK_IOCTL_LIST_LOCKS:
		return handle_ioctlListLokcs(arg);
	case VEK_IOCTL_GET_VERSION:
		return handle_ioctlGetVersion(arg);
	case VEK_IOCTL_GET_VK_LIST2:
		return handle_ioctlGetVKList2(arg);
	case VEK_IOCTL_GET_VK_LIST_COUNT:
		return handle_ioctlGetVKListCount(arg);
	case VEK_IOCTL_UNLOAD:
		return handle_ioctlUnload(arg);
	case VEK_IOCTL_ERROR_CTS:
		return handle_ioctlErrorCTS(arg);
	case VEK_IOCTL_SET_COW_FILE:
		return handle_SetCowFile(arg);
	case VEK_IOCTL_START_VK2:
		return handle_ioctlStartVK2(arg);
	case VEK_IOCTL_RUN_IO_THREAD:
		return handel_RunIOThread(arg);
	case VEK_IOCTL_THREAD_WAIT_TIMEOUT:
		return handle_ioctlThreadWaitTimeout(arg);
	case VEK_IOCTL_NO_THREAD_SHUTDOWN:
		return handle_ioctlNoThreadShutdown(arg);
	case VEK_IOCTL_GET_CHANGED_RECORDS_V2:
		return handle_ioctlGetChangedRecordsV2(arg);
	default:
		printk(KERN_ERR "%s: ERROR: ioctl command not found.\n", VEK_TAG);
		return -1;
	}
}
