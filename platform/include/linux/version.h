#pragma once
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
#define LINUX_VERSION_CODE KERNEL_VERSION(2, 6, 32)
#define UTS_RELEASE "2.6.32-696.el6.x86_64"
