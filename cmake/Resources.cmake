# orvo_add_resource(<target> <type> <id> <file>): links <file> into <target> as resource
# (type, id), found at run time with platform::FindResource.
function(orvo_add_resource target type id file)
  get_filename_component(abs "${file}" ABSOLUTE)
  set(sym "orvo_res_${type}_${id}")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_${type}_${id}.cpp")
  file(WRITE "${out}.in" "// Generated: resource ${type} ${id} from ${abs}\n"
    "#include \"platform/resources.h\"\n"
    "asm(\".section .rodata\\n.balign 16\\n.global ${sym}_begin\\n${sym}_begin:\\n"
    ".incbin \\\"${abs}\\\"\\n.global ${sym}_end\\n${sym}_end:\\n.byte 0\\n.previous\\n\");\n"
    "extern \"C\" const std::uint8_t ${sym}_begin[];\n"
    "extern \"C\" const std::uint8_t ${sym}_end[];\n"
    "static platform::detail::ResourceRegistrar ${sym}_registrar(\"${type}\", ${id}, ${sym}_begin, ${sym}_end);\n")
  configure_file("${out}.in" "${out}" COPYONLY)
  target_sources(${target} PRIVATE "${out}")
  set_source_files_properties("${out}" PROPERTIES OBJECT_DEPENDS "${abs}")
endfunction()
