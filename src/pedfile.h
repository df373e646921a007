// pedfile: the "12"-coded PED fileset reader (.ped, and the .map when the
// haploid mode or a derived bootstrap block size needs the markers). Writes
// I, L and N and fills a DatasetMetadata, with the SNPs in file order; every
// failure ends the run.
#ifndef KELVANORE_PEDFILE_H
#define KELVANORE_PEDFILE_H

#include <string>

#include "types.h"

// base is the input path without its extension.
void readPlinkFiles(const std::string& base, DatasetMetadata& meta);
// The .map's records into meta.snpInfo, which holds L entries.
void readMapFile(const std::string& base, DatasetMetadata& meta);

#endif
