/*
 * PE probe for the libhdhomerun bridge: makes the same calls as the program.
 *   bridge_probe.exe            discover, then open every box by id and read its tuners
 *   bridge_probe.exe ID...      open the given ids only
 *   bridge_probe.exe --exports NAME...   "export NAME yes|no" from GetProcAddress
 * Output lines: "count N", "device ID IP tuners N", "open ID failed",
 * "tuner ID-N model=... owner=... available=R".
 */
#include <stdio.h>
#include <stddef.h>
#include <string.h>
#include "hdhomerun.h"

_Static_assert(sizeof(struct hdhomerun_discover_device_t) == 68, "discover record size");
_Static_assert(offsetof(struct hdhomerun_discover_device_t, base_url) == 39, "base_url offset");

#define MAX_DEVICES 64

static void read_tuners(const char *id)
{
	struct hdhomerun_device_t *hd = hdhomerun_device_create_from_str(id, NULL);
	if (!hd) {
		printf("open %s failed\n", id);
		return;
	}
	for (unsigned int tuner = 0; tuner < 16; tuner++) {
		char name[64];
		char *model = NULL;
		char *owner = NULL;
		char *error = NULL;
		hdhomerun_device_set_tuner(hd, tuner);
		snprintf(name, sizeof(name), "/tuner%u/model", tuner);
		int result = hdhomerun_device_get_var(hd, name, &model, &error);
		if (result != 1) {
			printf("tuner %s-%u end result=%d error=%s\n", id, tuner, result, error ? error : "(none)");
			break;
		}
		printf("tuner %s-%u model=%s", id, tuner, model);
		snprintf(name, sizeof(name), "/tuner%u/owner", tuner);
		result = hdhomerun_device_get_var(hd, name, &owner, NULL);
		printf(" owner=%s", result == 1 ? owner : "(error)");
		snprintf(name, sizeof(name), "/tuner%u/available", tuner);
		printf(" available=%d\n", hdhomerun_device_get_var(hd, name, NULL, NULL));
	}
	hdhomerun_device_destroy(hd);
}

static int list_exports(int count, char **names)
{
	HMODULE module = GetModuleHandleA("libhdhomerun.dll");
	if (!module) {
		printf("module not loaded\n");
		return 1;
	}
	for (int i = 0; i < count; i++)
		printf("export %s %s\n", names[i], GetProcAddress(module, names[i]) ? "yes" : "no");
	return 0;
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IONBF, 0);
	if (argc > 1 && strcmp(argv[1], "--exports") == 0)
		return list_exports(argc - 2, argv + 2);
	if (argc > 1) {
		for (int i = 1; i < argc; i++)
			read_tuners(argv[i]);
		return 0;
	}
	struct hdhomerun_discover_t *ds = hdhomerun_discover_create(NULL);
	struct hdhomerun_discover_device_t list[MAX_DEVICES];
	int count = hdhomerun_discover_find_devices_v2(ds, 0, HDHOMERUN_DEVICE_TYPE_TUNER,
		HDHOMERUN_DEVICE_ID_WILDCARD, list, MAX_DEVICES);
	printf("count %d\n", count);
	for (int i = 0; i < count; i++) {
		unsigned int ip = list[i].ip_addr;
		char id[16];
		snprintf(id, sizeof(id), "%08X", (unsigned int)list[i].device_id);
		printf("device %s %u.%u.%u.%u tuners %u\n", id, ip >> 24, (ip >> 16) & 0xFF,
			(ip >> 8) & 0xFF, ip & 0xFF, list[i].tuner_count);
	}
	for (int i = 0; i < count; i++) {
		char id[16];
		snprintf(id, sizeof(id), "%08X", (unsigned int)list[i].device_id);
		read_tuners(id);
	}
	hdhomerun_discover_destroy(ds);
	return 0;
}
