# CPack's External generator runs this on the staged install tree
# (CPACK_TEMPORARY_DIRECTORY/<component>): it builds <package file name>.msi from
# packaging/windows/zeda-pcie-tools.wxs.in, one component per file, with
# wixl -a x64, then adds with msibuild what wixl 0.101 lacks:
#  - the install folder appended to the system PATH (Environment table, and
#    the WriteEnvironmentStrings and RemoveEnvironmentStrings actions);
#    "=-*" sets it on install, removes it on uninstall, in the machine's
#    environment, and [~]; appends to what is there;
#  - an upgrade that also replaces an installed build of the same version,
#    such as the other flavour (Upgrade attributes 513: migrate features,
#    maximum version inclusive); wixl ignores IncludeMaximum. The old
#    product goes before the new one is installed (RemoveExistingProducts
#    after InstallValidate, as wixl schedules it).
foreach(tool CPACK_ZEDA_WIXL CPACK_ZEDA_MSIBUILD)
  if(NOT EXISTS "${${tool}}")
    message(FATAL_ERROR "No ${tool} to build the MSI with: apt-get install wixl msitools")
  endif()
endforeach()

set(stage ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_COMPONENTS_ALL})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/msi)
set(msi ${work}/${CPACK_PACKAGE_FILE_NAME}.msi)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

file(GLOB files LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
file(GLOB_RECURSE all_files RELATIVE ${stage} ${stage}/*)
if(NOT files STREQUAL all_files OR NOT "README.txt" IN_LIST files)
  message(FATAL_ERROR "The MSI takes a flat install tree with README.txt; ${stage} holds: ${all_files}")
endif()
list(SORT files)
set(ZEDA_MSI_COMPONENTS "")
set(ZEDA_MSI_COMPONENT_REFS "")
foreach(file ${files})
  string(MAKE_C_IDENTIFIER ${file} id)
  string(APPEND ZEDA_MSI_COMPONENTS
    "          <Component Id=\"c_${id}\" Guid=\"*\" Win64=\"yes\">\n"
    "            <File Id=\"f_${id}\" Name=\"${file}\" Source=\"${file}\" KeyPath=\"yes\" />\n"
    "          </Component>\n")
  string(APPEND ZEDA_MSI_COMPONENT_REFS "      <ComponentRef Id=\"c_${id}\" />\n")
endforeach()
configure_file(${CPACK_ZEDA_WXS_TEMPLATE} ${work}/package.wxs @ONLY)

# wixl takes the sources relative to the folder it runs in.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Building the MSI failed: ${ARGN}\n${out}")
  endif()
endfunction()
run(${CPACK_ZEDA_WIXL} -a x64 -o ${msi} ${work}/package.wxs)

# The PATH entry belongs to README.txt's component, installed with any tool.
file(WRITE ${work}/Environment.idt
  "Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n"
  "PATH\t=-*PATH\t[~];[INSTALLDIR]\tc_README_txt\n")
file(WRITE ${work}/Upgrade.idt
  "UpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\tRemove\tActionProperty\n"
  "s38\tS20\tS20\tS255\ti4\tS255\ts72\n"
  "Upgrade\tUpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\n"
  "{${CPACK_ZEDA_UPGRADE_CODE}}\t\t${CPACK_PACKAGE_VERSION}\t\t513\t\tWIX_UPGRADE_DETECTED\n"
  "{${CPACK_ZEDA_UPGRADE_CODE}}\t${CPACK_PACKAGE_VERSION}\t\t\t2\t\tWIX_DOWNGRADE_DETECTED\n")
run(${CPACK_ZEDA_MSIBUILD} ${msi} -i ${work}/Environment.idt)
run(${CPACK_ZEDA_MSIBUILD} ${msi} -i ${work}/Upgrade.idt)
# The PATH actions, at their standard sequence numbers.
run(${CPACK_ZEDA_MSIBUILD} ${msi}
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)")
run(${CPACK_ZEDA_MSIBUILD} ${msi}
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)")

set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
