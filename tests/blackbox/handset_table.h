// The handset table: velkor's commands against handsets that behave well and
// badly, as rows that run unchanged on every bench.
#ifndef VELKOR_TESTS_BLACKBOX_HANDSET_TABLE_H
#define VELKOR_TESTS_BLACKBOX_HANDSET_TABLE_H

#include <vector>

#include "table.h"

namespace blackbox {

const std::vector<HandsetCase>& HandsetTable();

}  // namespace blackbox

#endif
