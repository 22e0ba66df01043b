/* Stands in for libssp.so.0, which Debian 12 ships only as a static library. The tool
   needs none of its symbols; the launcher carries and unpacks it, and the tool's loader
   asks for it, so it only has to load. */
int ormivane_ssp_standin(void);

int ormivane_ssp_standin(void) { return 0; }
