/* Stand-in for the BRIX hardware interface library: the platform layer only loads and frees it. */
int zev_brix_standin_version(void) { return 1; }
