// Metadata: a Python object holding a file's header, parameter and summary
// records, each turned into Python objects only when asked for.
#pragma once

#include "info.h"
#include "layout.h"
#include "py_ref.h"
#include "unchanged.h"
#include "vorn_data_file.h"

namespace vorn::py {

struct FileRecords {
    FileMetadata blocks;
    Info info;
    Layout layout;
    bool cut_short = false;  // the file ends before the samples its header declares
    OpenedAs opened;         // what the file was, for the check of a later read
};

// Makes the Metadata type ready; once per process, with the module.
bool metadata_type_ready();
PyTypeObject* metadata_type();

// The records of a Metadata object; null (with TypeError set) for any other object.
const FileRecords* records_of_metadata(PyObject* object);

// A Metadata object taking over the records.
PyRef new_metadata(FileRecords records);

}  // namespace vorn::py
