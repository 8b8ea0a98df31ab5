#pragma once
#include <linux/uaccess.h>
