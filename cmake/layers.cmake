# The layers of src/, lowest first, and the layers each one may use: the one
# table that both the build (include paths and link lines) and the include
# check (scripts/check-includes) read. A layer may use only layers listed
# before it; every list names all of them, not only the direct ones.
#
# Keep each entry on one line: scripts/check-includes reads this file too.
set(ZDZ_LAYERS encoding contracts json crypto envelope io token trust store boot cli)
set(ZDZ_USES_encoding "")
set(ZDZ_USES_contracts encoding)
set(ZDZ_USES_json contracts encoding)
set(ZDZ_USES_crypto contracts encoding)
set(ZDZ_USES_envelope crypto json contracts encoding)
set(ZDZ_USES_io crypto contracts encoding)
set(ZDZ_USES_token io crypto contracts encoding)
set(ZDZ_USES_trust envelope io crypto json contracts encoding)
set(ZDZ_USES_store token trust envelope io crypto json contracts encoding)
set(ZDZ_USES_boot contracts encoding)
set(ZDZ_USES_cli boot store token trust envelope io crypto json contracts encoding)

# A folder per layer under the build tree that holds links to the layer's own
# src/ folder and to those of the layers it uses, and nothing else: it is the
# layer's only include path into src/, so an include of a layer above it finds
# no file and fails to compile.
function(zdz_layer_include_dir layer out)
  set(dir ${PROJECT_BINARY_DIR}/layer-include/${layer})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(room ${layer} ${ZDZ_USES_${layer}})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${room} ${dir}/${room} SYMBOLIC)
  endforeach()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()
