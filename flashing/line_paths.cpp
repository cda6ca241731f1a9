#include "flashing/line_paths.h"

#include "flashing/paths.h"
#include "payload/manifest.h"

namespace flashing {

bool FillImagePaths(DownloadLine& line, const std::string& folder)
{
    using namespace payload;
    LineRecord record = line.record;
    const auto in = [&](const Payload& file) { return JoinPath(folder, file.fileName); };
    const bool fits = record.imageFolder.Set(folder) && record.partitionPath.Set(in(kPartitionTable)) &&
                      record.cfgDataPath.Set(in(kQcsblCfgData)) && record.qcsblPath.Set(in(kQcsbl)) &&
                      record.oemsblHeaderPath.Set(in(kOemsblHeader)) && record.oemsblPath.Set(in(kOemsbl)) &&
                      record.amssHeaderPath.Set(in(kAmssHeader)) && record.amssPath.Set(in(kAmss)) &&
                      record.efsPath.Set(in(kEfs)) && record.ramProgrammerPath.Set(in(kRamProgrammer)) &&
                      record.nandHeaderPath.Set(in(kNandProgrammerHeader)) &&
                      record.nandImagePath.Set(in(kNandProgrammer)) && record.nvFolder.Set(folder) &&
                      record.nvBackupPath.Set(JoinPath(folder, kNvBackupFile));
    if (fits) line.record = record;
    return fits;
}

}  // namespace flashing
