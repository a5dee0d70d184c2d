# nivora_flatbuffers_schema(<target> <schema.fbs>): compiles a schema with
# flatc into ${NIVORA_GENERATED_DIR}/<name>_generated.h and makes <target>
# depend on it.
set(NIVORA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${NIVORA_GENERATED_DIR})

function(nivora_flatbuffers_schema target schema)
  get_filename_component(name ${schema} NAME_WE)
  get_filename_component(abs ${schema} ABSOLUTE)
  set(out ${NIVORA_GENERATED_DIR}/${name}_generated.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${FLATC_EXECUTABLE} --cpp --scoped-enums -o ${NIVORA_GENERATED_DIR} ${abs}
    DEPENDS ${abs}
    COMMENT "flatc ${name}.fbs"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
