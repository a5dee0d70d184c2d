# nivora_flatbuffers_schema(<schema.fbs>): compiles a schema with flatc into
# ${NIVORA_GENERATED_DIR}/<name>_generated.h and adds it to the core library.
set(NIVORA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${NIVORA_GENERATED_DIR})

function(nivora_flatbuffers_schema schema)
  get_filename_component(name ${schema} NAME_WE)
  get_filename_component(abs ${schema} ABSOLUTE)
  set(out ${NIVORA_GENERATED_DIR}/${name}_generated.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${FLATC_EXECUTABLE} --cpp --scoped-enums -o ${NIVORA_GENERATED_DIR} ${abs}
    DEPENDS ${abs}
    COMMENT "flatc ${name}.fbs"
    VERBATIM)
  target_sources(nivora_core PRIVATE ${out})
endfunction()
