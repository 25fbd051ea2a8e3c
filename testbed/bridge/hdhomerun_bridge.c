/* Winelib side of the libhdhomerun bridge: PE code calls these with the Windows convention
 * (x64: ms_abi; x86: cdecl, with the stack only 4-byte aligned, so it is realigned on entry);
 * each forwards to Debian's libhdhomerun, ordinary Linux code in the same process.
 * Built by the host gcc against the library's POSIX headers (winegcc would define _WIN32 and
 * pull in the Windows flavour of hdhomerun_os.h). */
#include <stddef.h>
#include <libhdhomerun/hdhomerun.h>

#ifdef __x86_64__
#define BRIDGE_API __attribute__((ms_abi, visibility("default")))
#else
#define BRIDGE_API __attribute__((force_align_arg_pointer, visibility("default")))
#endif

/* The PE side sees the same structure through the Windows headers: keep the
 * layout checks here, where a mismatch would corrupt the caller's array. */
_Static_assert(sizeof(struct hdhomerun_discover_device_t) == 68, "discover record size");
_Static_assert(offsetof(struct hdhomerun_discover_device_t, tuner_count) == 12, "tuner_count offset");
_Static_assert(offsetof(struct hdhomerun_discover_device_t, base_url) == 39, "base_url offset");

BRIDGE_API struct hdhomerun_discover_t *bridge_discover_create(struct hdhomerun_debug_t *dbg)
{
	return hdhomerun_discover_create(dbg);
}

BRIDGE_API void bridge_discover_destroy(struct hdhomerun_discover_t *ds) { hdhomerun_discover_destroy(ds); }

BRIDGE_API int bridge_discover_find_devices_v2(struct hdhomerun_discover_t *ds, uint32_t target_ip,
	uint32_t device_type_match, uint32_t device_id_match,
	struct hdhomerun_discover_device_t result_list[], int max_count)
{
	return hdhomerun_discover_find_devices_v2(ds, target_ip, device_type_match, device_id_match, result_list, max_count);
}

BRIDGE_API struct hdhomerun_device_t *bridge_device_create_from_str(const char *device_str, struct hdhomerun_debug_t *dbg)
{
	return hdhomerun_device_create_from_str(device_str, dbg);
}

BRIDGE_API void bridge_device_destroy(struct hdhomerun_device_t *hd) { hdhomerun_device_destroy(hd); }

BRIDGE_API int bridge_device_set_tuner(struct hdhomerun_device_t *hd, unsigned int tuner)
{
	return hdhomerun_device_set_tuner(hd, tuner);
}

BRIDGE_API int bridge_device_get_var(struct hdhomerun_device_t *hd, const char *name, char **pvalue, char **perror)
{
	return hdhomerun_device_get_var(hd, name, pvalue, perror);
}
