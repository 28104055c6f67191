// The library's public API in one include: the Archive and its entries, the file-system
// operations over whole folders, errors, progress and the memory budget. Every header named
// here is installed; nothing else is.
#pragma once

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/archive/bulk_append.hpp"
#include "marrowzip/archive/replacement.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/filesystem/extraction_pass.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/filesystem/zip_item.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/format/entry_selection.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/records.hpp"
#include "marrowzip/processing/memory_budget.hpp"
#include "marrowzip/read/entry_iterator.hpp"
#include "marrowzip/write/append_options.hpp"
