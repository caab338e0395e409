# Writes OUTPUT: a C++ source holding the compiled catalogs CATALOG_DIR/<name>.mo as byte arrays,
# and the table halv::kEmbeddedCatalogs of locale/embedded_catalogs.h. NAMES is a comma-separated
# list of catalog names in id order; the first gets FIRST_ID, each next one the next id.
string(REPLACE "," ";" _names "${NAMES}")
set(_arrays "")
set(_rows "")
set(_id ${FIRST_ID})
foreach(_name IN LISTS _names)
  file(READ "${CATALOG_DIR}/${_name}.mo" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _bytes "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _list "${_hex}")
  string(APPEND _arrays "const unsigned char kCatalog${_id}[${_bytes}] = {${_list}};\n")
  string(APPEND _rows "    {${_id}, \"${_name}\", kCatalog${_id}, ${_bytes}},\n")
  math(EXPR _id "${_id} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from the catalogs in ${CATALOG_DIR}; do not edit.\n"
  "#include \"locale/embedded_catalogs.h\"\n\n"
  "namespace halv {\n"
  "namespace {\n\n"
  "${_arrays}\n"
  "}  // namespace\n\n"
  "const EmbeddedCatalog kEmbeddedCatalogs[] = {\n"
  "${_rows}"
  "};\n"
  "const std::size_t kEmbeddedCatalogCount = sizeof(kEmbeddedCatalogs) / sizeof(kEmbeddedCatalogs[0]);\n\n"
  "}  // namespace halv\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
