# CPack's External generator runs this on the staged install tree
# (CPACK_TEMPORARY_DIRECTORY/<component>): it builds <package file name>.msi from
# packaging/windows/zeda-pcie-tools.wxs.in, one component per file, with
# wixl -a x64, then adds with msibuild what wixl 0.101 lacks:
#  - the install folder appended to the system PATH (Environment table, and
#    the WriteEnvironmentStrings and RemoveEnvironmentStrings actions);
#    "=-*" sets it on install, removes it on uninstall, in the machine's
#    environment, and [~]; appends to what is there. It belongs to the
#    component c_path, left out when ADD_ZEDA_TO_PATH=0;
#  - an upgrade that also replaces an installed build of the same version
#    (Upgrade attributes 513: migrate features, maximum version inclusive);
#    wixl ignores IncludeMaximum. The old product goes before the new one is
#    installed (RemoveExistingProducts after InstallValidate, as wixl
#    schedules it);
#  - the other flavour's products found (ZEDA_OTHER_FLAVOUR) and refused by
#    a launch condition unless REPLACE_ZEDA_FLAVOUR is given as anything but
#    0, which lets RemoveExistingProducts replace them; one that bears this
#    product's name (ZEDA_OTHER_PRODUCT_NAME, found by AppSearch after
#    FindRelatedProducts) is an earlier build of this flavour under the
#    UpgradeCode both once shared, and its refusal says so;
#  - the install folder and the PATH choice an installed build was given
#    (found by AppSearch in the registry values of c_remembered) taken over
#    unless given again, so an upgrade or repair stays where it was; then
#    the Add/Remove Programs entry's install location, help and about links
#    (the installed README.txt), all as property-setting custom actions;
#  - the versions of the programs and DLLs in the File table, as their
#    version resources carry them (cmake/ZedaWindowsPackage.cmake).
# Then it signs the MSI when a certificate is given (ZedaSign.cmake).
foreach(tool CPACK_ZEDA_WIXL CPACK_ZEDA_MSIBUILD CPACK_ZEDA_MSIINFO)
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
set(versioned "")
foreach(file ${files})
  string(MAKE_C_IDENTIFIER ${file} id)
  string(APPEND ZEDA_MSI_COMPONENTS
    "          <Component Id=\"c_${id}\" Guid=\"*\" Win64=\"yes\">\n"
    "            <File Id=\"f_${id}\" Name=\"${file}\" Source=\"${file}\" KeyPath=\"yes\" />\n"
    "          </Component>\n")
  string(APPEND ZEDA_MSI_COMPONENT_REFS "      <ComponentRef Id=\"c_${id}\" />\n")
  if(file MATCHES "\\.(exe|dll)$")
    list(APPEND versioned f_${id})
  endif()
endforeach()
# Attribute values for the template.
function(xml_attribute out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
xml_attribute(ZEDA_MSI_COMMENTS "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
xml_attribute(ZEDA_MSI_CONTACT "${CPACK_PACKAGE_CONTACT}")
# The remembered folder and PATH choice, per product.
set(CPACK_ZEDA_REGISTRY_KEY "Software\\${CPACK_PACKAGE_VENDOR}\\${CPACK_ZEDA_PRODUCT}")
configure_file(${CPACK_ZEDA_WXS_TEMPLATE} ${work}/package.wxs @ONLY)

# wixl takes the sources relative to the folder it runs in.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Building the MSI failed: ${ARGN}\n${out}")
  endif()
endfunction()
run(${CPACK_ZEDA_WIXL} -a x64 -o ${msi} ${work}/package.wxs)

file(WRITE ${work}/Environment.idt
  "Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n"
  "PATH\t=-*PATH\t[~];[INSTALLDIR]\tc_path\n")
file(WRITE ${work}/Upgrade.idt
  "UpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\tRemove\tActionProperty\n"
  "s38\tS20\tS20\tS255\ti4\tS255\ts72\n"
  "Upgrade\tUpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\n"
  "{${CPACK_ZEDA_UPGRADE_CODE}}\t\t${CPACK_PACKAGE_VERSION}\t\t513\t\tWIX_UPGRADE_DETECTED\n"
  "{${CPACK_ZEDA_UPGRADE_CODE}}\t${CPACK_PACKAGE_VERSION}\t\t\t2\t\tWIX_DOWNGRADE_DETECTED\n"
  "{${CPACK_ZEDA_OTHER_UPGRADE_CODE}}\t0.0.0\t\t\t256\t\tZEDA_OTHER_FLAVOUR\n")
# Type 51 sets the property Source to the formatted Target.
file(WRITE ${work}/CustomAction.idt
  "Action\tType\tSource\tTarget\n"
  "s72\ti2\tS72\tS255\n"
  "CustomAction\tAction\n"
  "ZedaRememberedInstallDir\t51\tINSTALLDIR\t[ZEDA_REMEMBERED_INSTALLDIR]\n"
  "ZedaRememberedAddToPath\t51\tADD_ZEDA_TO_PATH\t[ZEDA_REMEMBERED_ADD_TO_PATH]\n"
  "ZedaAddToPathByDefault\t51\tADD_ZEDA_TO_PATH\t1\n"
  "ZedaArpInstallLocation\t51\tARPINSTALLLOCATION\t[INSTALLDIR]\n"
  "ZedaArpHelpLink\t51\tARPHELPLINK\t[INSTALLDIR]README.txt\n"
  "ZedaArpAbout\t51\tARPURLINFOABOUT\t[INSTALLDIR]README.txt\n")
foreach(table Environment Upgrade CustomAction)
  run(${CPACK_ZEDA_MSIBUILD} ${msi} -i ${work}/${table}.idt)
endforeach()
# sql <statement>...: each run on the MSI.
function(sql)
  foreach(statement ${ARGN})
    run(${CPACK_ZEDA_MSIBUILD} ${msi} -q "${statement}")
  endforeach()
endfunction()
# The PATH actions at their standard sequence numbers; what was given wins
# over what is remembered, right after AppSearch (50) finds it, in both
# sequences (the UI one passes its results on); the ARP properties once
# CostFinalize (1000) has resolved INSTALLDIR.
set(actions
  "InstallExecuteSequence:RemoveEnvironmentStrings::3300"
  "InstallExecuteSequence:WriteEnvironmentStrings::5200"
  "InstallExecuteSequence:ZedaArpInstallLocation::1001"
  "InstallExecuteSequence:ZedaArpHelpLink::1002"
  "InstallExecuteSequence:ZedaArpAbout::1003")
foreach(sequence InstallExecuteSequence InstallUISequence)
  list(APPEND actions
    "${sequence}:ZedaRememberedInstallDir:ZEDA_REMEMBERED_INSTALLDIR AND NOT INSTALLDIR:51"
    "${sequence}:ZedaRememberedAddToPath:ZEDA_REMEMBERED_ADD_TO_PATH AND NOT ADD_ZEDA_TO_PATH:52"
    "${sequence}:ZedaAddToPathByDefault:NOT ADD_ZEDA_TO_PATH:53")
endforeach()
foreach(action ${actions})
  string(REPLACE ":" ";" fields "${action}")
  list(GET fields 0 sequence)
  list(GET fields 1 name)
  list(GET fields 2 condition)
  list(GET fields 3 number)
  sql("INSERT INTO ${sequence} (Action, Condition, Sequence) VALUES ('${name}', '${condition}', ${number})")
endforeach()
# 0 means no, as it does for ADD_ZEDA_TO_PATH.
set(replace "(REPLACE_ZEDA_FLAVOUR AND REPLACE_ZEDA_FLAVOUR <> \"0\")")
sql("UPDATE Component SET Condition = 'ADD_ZEDA_TO_PATH <> \"0\"' WHERE Component = 'c_path'"
  "INSERT INTO LaunchCondition (Condition, Description) VALUES \
('Installed OR NOT ZEDA_OTHER_FLAVOUR OR ZEDA_OTHER_PRODUCT_NAME = ProductName OR ${replace}', \
'${CPACK_ZEDA_OTHER_FLAVOUR_MESSAGE}')"
  "INSERT INTO LaunchCondition (Condition, Description) VALUES \
('Installed OR NOT ZEDA_OTHER_FLAVOUR OR ZEDA_OTHER_PRODUCT_NAME <> ProductName OR ${replace}', \
'${CPACK_ZEDA_EARLIER_BUILD_MESSAGE}')"
)
# The properties an install takes from the command line or finds, passed on
# to the server side of a per-machine install. The list has semicolons,
# which a CMake argument can't carry: the row is edited in an export.
execute_process(COMMAND ${CPACK_ZEDA_MSIINFO} export ${msi} Property OUTPUT_VARIABLE table RESULT_VARIABLE rc)
string(REGEX REPLACE "(\nSecureCustomProperties\t[^\r\n]+)"
  "\\1;ZEDA_OTHER_FLAVOUR;INSTALLDIR;ADD_ZEDA_TO_PATH;REPLACE_ZEDA_FLAVOUR" table "${table}")
if(NOT rc EQUAL 0 OR NOT table MATCHES "\nSecureCustomProperties\t[^\r\n]+;REPLACE_ZEDA_FLAVOUR")
  message(FATAL_ERROR "Building the MSI failed: no SecureCustomProperties to extend in ${msi}'s Property table")
endif()
file(WRITE ${work}/Property.idt "${table}")
run(${CPACK_ZEDA_MSIBUILD} ${msi} -i ${work}/Property.idt)
foreach(file ${versioned})
  sql("UPDATE File SET Version = '${CPACK_ZEDA_FILE_VERSION}', Language = '1033' WHERE File = '${file}'")
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/ZedaSign.cmake)
zeda_sign(${msi})

set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
