/*
 * vekdriver.h - the ioctl ABI between the vekdriver module and its agent.
 *
 * Self-contained and C-compatible: an agent includes only this file. The layouts are those of
 * a 64-bit x86 caller (natural alignment); a 32-bit caller's layout does not match, and the
 * control device has no compat entry for one.
 *
 * Every command number is _IOW('*', nr, <record>): direction bits 01, type 0x2A, size field =
 * the record's size. The direction bits do not describe the data flow: many commands copy their
 * record back to the caller.
 */
#ifndef VEKDRIVER_H
#define VEKDRIVER_H

#ifdef __cplusplus
#include <cstdint>
#include <cstddef>
#else
#include <stdint.h>
#include <stddef.h>
#endif

#define VEK_IOC_TYPE 0x2A /* '*' */
#define VEK_IOC_WRITE 1U
/* The x86 _IOW encoding, spelled out so agents need no kernel header. */
#define VEK_IOW(nr, size) \
	((uint32_t)((VEK_IOC_WRITE << 30) | ((uint32_t)(size) << 16) | (VEK_IOC_TYPE << 8) | (nr)))

#define VEK_PATH_LEN 4096
#define VEK_NAME_LEN 256
#define VEK_CHUNK_SIZE 65536
#define VEK_MAX_SESSIONS 16
#define VEK_MAX_IO_THREADS 64
#define VEK_CONTROL_MAJOR 120
#define VEK_CLONE_MAJOR 121
#define VEK_CONTROL_NAME "vekdriver"

/* mode bits of snap_shot_request */
#define VEK_MODE_CHANGE_TRACKING 1
#define VEK_MODE_STARTED 2 /* set by the driver in a successful start's reply */
#define USER_SPACE_FILE 4

/* snap_shot_request.id of a start refused because the backing file is in use */
#define VEK_ID_BACKING_FILE_IN_USE (-2)

struct snap_shot_request {
	int32_t id;
	int32_t major;
	int32_t minor;
	int32_t mode;
	int32_t active_sessions;
	char device_name[VEK_NAME_LEN];
	char device_path[VEK_PATH_LEN];
	char backing_file[VEK_PATH_LEN];
	char backing_dev[VEK_PATH_LEN];
	uint64_t time;
	uint64_t bfree;
	uint64_t sec_get_freez;
	uint64_t nsec_get_freez;
	uint64_t sec_froze;
	uint64_t nsec_froze;
};

struct session_list {
	int32_t id;
	uint64_t time;
	uint64_t changed_blocks;
	uint64_t block_size;
	uint64_t sec_get_freez;
	uint64_t nsec_get_freez;
	uint64_t sec_froze;
	uint64_t nsec_froze;
	int32_t mode;
	int32_t error;
};

struct session_list_request {
	int32_t size;
	struct session_list *sl;
};

struct get_string {
	int32_t id;
	char string[VEK_PATH_LEN];
};

struct set_cow_file {
	int32_t id;
	int32_t fd;
	char backing_file[VEK_PATH_LEN];
};

struct version_info {
	uint64_t major;
	uint64_t minor;
	uint64_t maint;
	uint64_t build;
};

struct zk_thread_info {
	int32_t id;
	int32_t session_id;
	int32_t file_fd;
	int32_t buffer_size;
	uint64_t user_addr;
};

struct change_record_usr {
	uint16_t major;
	uint16_t minor;
	uint64_t start_sector;
	uint64_t num_sectors;
};

struct change_record_usr_v2 {
	uint64_t major;
	uint64_t minor;
	uint64_t start_sector;
	uint64_t num_sectors;
};

struct change_recrod_request {
	int32_t size;
	int32_t tracking;
	int32_t inqueue;
	struct change_record_usr *cru;
};

struct change_recrod_request_v2 {
	int32_t size;
	int32_t tracking;
	int32_t inqueue;
	struct change_record_usr_v2 *cru;
};

/* Command numbers. */
#define VEK_IOCTL_START_VK VEK_IOW(0x15, sizeof(struct snap_shot_request))   /* retired */
#define VEK_IOCTL_STOP_VK VEK_IOW(0x16, sizeof(struct snap_shot_request))
#define VEK_IOCTL_GET_VK_LIST VEK_IOW(0x17, sizeof(struct session_list))
#define VEK_IOCTL_GET_VK_DEV VEK_IOW(0x19, sizeof(struct snap_shot_request))
#define VEK_IOCTL_GET_DEV_PATH VEK_IOW(0x1A, sizeof(struct get_string))
#define VEK_IOCTL_GET_BACKING_FILE VEK_IOW(0x1B, sizeof(struct get_string))
#define VEK_IOCTL_GET_SESSION_ERROR VEK_IOW(0x1C, sizeof(struct get_string))
#define VEK_IOCTL_GET_CHANGED_RECORDS VEK_IOW(0x1D, sizeof(struct change_recrod_request))
#define VEK_IOCTL_UNBLOCK_CHANGE_RECORDS VEK_IOW(0x1E, sizeof(int32_t))
#define VEK_IOCTL_LIST_LOCKS VEK_IOW(0x1F, sizeof(int32_t))
#define VEK_IOCTL_GET_VERSION VEK_IOW(0x20, sizeof(uint64_t))
#define VEK_IOCTL_GET_VK_LIST2 VEK_IOW(0x21, sizeof(struct session_list_request))
#define VEK_IOCTL_GET_VK_LIST_COUNT VEK_IOW(0x22, sizeof(int32_t))
#define VEK_IOCTL_UNLOAD VEK_IOW(0x23, sizeof(int32_t))
#define VEK_IOCTL_ERROR_CTS VEK_IOW(0x24, sizeof(int32_t))
#define VEK_IOCTL_SET_COW_FILE VEK_IOW(0x25, sizeof(struct set_cow_file))
#define VEK_IOCTL_START_VK2 VEK_IOW(0x26, sizeof(struct snap_shot_request))
#define VEK_IOCTL_RUN_IO_THREAD VEK_IOW(0x27, sizeof(struct zk_thread_info))
#define VEK_IOCTL_THREAD_WAIT_TIMEOUT VEK_IOW(0x28, sizeof(struct snap_shot_request))
#define VEK_IOCTL_NO_THREAD_SHUTDOWN VEK_IOW(0x29, sizeof(struct snap_shot_request))
#define VEK_IOCTL_GET_CHANGED_RECORDS_V2 VEK_IOW(0x2A, sizeof(struct change_recrod_request_v2))

/* The list command (0x17) always moves this many entries. */
#define VEK_LIST_ENTRIES 16

#ifdef __cplusplus
#define VEK_ABI_ASSERT(e, m) static_assert(e, m)
#else
#define VEK_ABI_ASSERT(e, m) _Static_assert(e, m)
#endif

VEK_ABI_ASSERT(sizeof(void *) == 8, "the vekdriver ABI is for 64-bit callers only");
VEK_ABI_ASSERT(sizeof(struct snap_shot_request) == 12616, "snap_shot_request size");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, id) == 0, "snap_shot_request.id");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, major) == 4, "snap_shot_request.major");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, minor) == 8, "snap_shot_request.minor");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, mode) == 12, "snap_shot_request.mode");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, active_sessions) == 16, "active_sessions");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, device_name) == 20, "device_name");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, device_path) == 276, "device_path");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, backing_file) == 4372, "backing_file");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, backing_dev) == 8468, "backing_dev");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, time) == 12568, "time");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, bfree) == 12576, "bfree");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, sec_get_freez) == 12584, "sec_get_freez");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, nsec_get_freez) == 12592, "nsec_get_freez");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, sec_froze) == 12600, "sec_froze");
VEK_ABI_ASSERT(offsetof(struct snap_shot_request, nsec_froze) == 12608, "nsec_froze");

VEK_ABI_ASSERT(sizeof(struct session_list) == 72, "session_list size");
VEK_ABI_ASSERT(offsetof(struct session_list, id) == 0, "session_list.id");
VEK_ABI_ASSERT(offsetof(struct session_list, time) == 8, "session_list.time");
VEK_ABI_ASSERT(offsetof(struct session_list, changed_blocks) == 16, "changed_blocks");
VEK_ABI_ASSERT(offsetof(struct session_list, block_size) == 24, "block_size");
VEK_ABI_ASSERT(offsetof(struct session_list, sec_get_freez) == 32, "sl.sec_get_freez");
VEK_ABI_ASSERT(offsetof(struct session_list, nsec_get_freez) == 40, "sl.nsec_get_freez");
VEK_ABI_ASSERT(offsetof(struct session_list, sec_froze) == 48, "sl.sec_froze");
VEK_ABI_ASSERT(offsetof(struct session_list, nsec_froze) == 56, "sl.nsec_froze");
VEK_ABI_ASSERT(offsetof(struct session_list, mode) == 64, "session_list.mode");
VEK_ABI_ASSERT(offsetof(struct session_list, error) == 68, "session_list.error");

VEK_ABI_ASSERT(sizeof(struct session_list_request) == 16, "session_list_request size");
VEK_ABI_ASSERT(offsetof(struct session_list_request, size) == 0, "slr.size");
VEK_ABI_ASSERT(offsetof(struct session_list_request, sl) == 8, "slr.sl");

VEK_ABI_ASSERT(sizeof(struct get_string) == 4100, "get_string size");
VEK_ABI_ASSERT(offsetof(struct get_string, string) == 4, "get_string.string");

VEK_ABI_ASSERT(sizeof(struct set_cow_file) == 4104, "set_cow_file size");
VEK_ABI_ASSERT(offsetof(struct set_cow_file, fd) == 4, "set_cow_file.fd");
VEK_ABI_ASSERT(offsetof(struct set_cow_file, backing_file) == 8, "set_cow_file.backing_file");

VEK_ABI_ASSERT(sizeof(struct version_info) == 32, "version_info size");
VEK_ABI_ASSERT(offsetof(struct version_info, build) == 24, "version_info.build");

VEK_ABI_ASSERT(sizeof(struct zk_thread_info) == 24, "zk_thread_info size");
VEK_ABI_ASSERT(offsetof(struct zk_thread_info, session_id) == 4, "zti.session_id");
VEK_ABI_ASSERT(offsetof(struct zk_thread_info, file_fd) == 8, "zti.file_fd");
VEK_ABI_ASSERT(offsetof(struct zk_thread_info, buffer_size) == 12, "zti.buffer_size");
VEK_ABI_ASSERT(offsetof(struct zk_thread_info, user_addr) == 16, "zti.user_addr");

VEK_ABI_ASSERT(sizeof(struct change_record_usr) == 24, "change_record_usr size");
VEK_ABI_ASSERT(offsetof(struct change_record_usr, minor) == 2, "cru.minor");
VEK_ABI_ASSERT(offsetof(struct change_record_usr, start_sector) == 8, "cru.start_sector");
VEK_ABI_ASSERT(offsetof(struct change_record_usr, num_sectors) == 16, "cru.num_sectors");
VEK_ABI_ASSERT(sizeof(struct change_record_usr_v2) == 32, "change_record_usr_v2 size");
VEK_ABI_ASSERT(offsetof(struct change_record_usr_v2, minor) == 8, "cru2.minor");
VEK_ABI_ASSERT(offsetof(struct change_record_usr_v2, start_sector) == 16, "cru2.start_sector");
VEK_ABI_ASSERT(offsetof(struct change_record_usr_v2, num_sectors) == 24, "cru2.num_sectors");

VEK_ABI_ASSERT(sizeof(struct change_recrod_request) == 24, "change_recrod_request size");
VEK_ABI_ASSERT(offsetof(struct change_recrod_request, tracking) == 4, "crr.tracking");
VEK_ABI_ASSERT(offsetof(struct change_recrod_request, inqueue) == 8, "crr.inqueue");
VEK_ABI_ASSERT(offsetof(struct change_recrod_request, cru) == 16, "crr.cru");
VEK_ABI_ASSERT(sizeof(struct change_recrod_request_v2) == 24, "change_recrod_request_v2 size");
VEK_ABI_ASSERT(offsetof(struct change_recrod_request_v2, cru) == 16, "crr2.cru");

/* The numbers agents have always used. */
VEK_ABI_ASSERT(VEK_IOCTL_START_VK == 0x71482A15, "0x15");
VEK_ABI_ASSERT(VEK_IOCTL_STOP_VK == 0x71482A16, "0x16");
VEK_ABI_ASSERT(VEK_IOCTL_GET_VK_LIST == 0x40482A17, "0x17");
VEK_ABI_ASSERT(VEK_IOCTL_GET_VK_DEV == 0x71482A19, "0x19");
VEK_ABI_ASSERT(VEK_IOCTL_GET_DEV_PATH == 0x50042A1A, "0x1A");
VEK_ABI_ASSERT(VEK_IOCTL_GET_BACKING_FILE == 0x50042A1B, "0x1B");
VEK_ABI_ASSERT(VEK_IOCTL_GET_SESSION_ERROR == 0x50042A1C, "0x1C");
VEK_ABI_ASSERT(VEK_IOCTL_GET_CHANGED_RECORDS == 0x40182A1D, "0x1D");
VEK_ABI_ASSERT(VEK_IOCTL_UNBLOCK_CHANGE_RECORDS == 0x40042A1E, "0x1E");
VEK_ABI_ASSERT(VEK_IOCTL_LIST_LOCKS == 0x40042A1F, "0x1F");
VEK_ABI_ASSERT(VEK_IOCTL_GET_VERSION == 0x40082A20, "0x20");
VEK_ABI_ASSERT(VEK_IOCTL_GET_VK_LIST2 == 0x40102A21, "0x21");
VEK_ABI_ASSERT(VEK_IOCTL_GET_VK_LIST_COUNT == 0x40042A22, "0x22");
VEK_ABI_ASSERT(VEK_IOCTL_UNLOAD == 0x40042A23, "0x23");
VEK_ABI_ASSERT(VEK_IOCTL_ERROR_CTS == 0x40042A24, "0x24");
VEK_ABI_ASSERT(VEK_IOCTL_SET_COW_FILE == 0x50082A25, "0x25");
VEK_ABI_ASSERT(VEK_IOCTL_START_VK2 == 0x71482A26, "0x26");
VEK_ABI_ASSERT(VEK_IOCTL_RUN_IO_THREAD == 0x40182A27, "0x27");
VEK_ABI_ASSERT(VEK_IOCTL_THREAD_WAIT_TIMEOUT == 0x71482A28, "0x28");
VEK_ABI_ASSERT(VEK_IOCTL_NO_THREAD_SHUTDOWN == 0x71482A29, "0x29");
VEK_ABI_ASSERT(VEK_IOCTL_GET_CHANGED_RECORDS_V2 == 0x40182A2A, "0x2A");

#endif /* VEKDRIVER_H */
