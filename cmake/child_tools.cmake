# A program that runs vek-machine and qel-agent as child processes gets their paths as
# VEK_MACHINE_PATH and VEK_AGENT_PATH ("" for one that is not built, so that it can skip) and is
# built after them.
function(vek_runs_machine_tools target)
  foreach(pair "vek-machine;VEK_MACHINE_PATH" "qel-agent;VEK_AGENT_PATH")
    list(GET pair 0 tool)
    list(GET pair 1 macro)
    if(TARGET ${tool})
      add_dependencies(${target} ${tool})
      target_compile_definitions(${target} PRIVATE ${macro}="$<TARGET_FILE:${tool}>")
    else()
      target_compile_definitions(${target} PRIVATE ${macro}="")
    endif()
  endforeach()
endfunction()
