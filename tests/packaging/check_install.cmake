cmake_minimum_required(VERSION 3.25)

# Installs BUILD_DIR into a fresh prefix below WORK_DIR and checks that the
# programs with their man pages, the licences, the desktop entry, the icons,
# the AppStream metadata and the udev rule land where the About dialog,
# desktop menus, software centres and udev look for them, and the Python
# package (when PYTHON_DIR names its folder) where python3 finds it.

string(RANDOM LENGTH 8 run)
set(prefix "${WORK_DIR}/install-${run}")
file(REMOVE_RECURSE "${prefix}")

execute_process(
    COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    file(REMOVE_RECURSE "${prefix}")
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

set(failures)
macro(fail text)
    list(APPEND failures "${text}")
endmacro()

# Nothing but these files may be installed.
set(programs pellan-i2c pellan-i2c-demo pellan-i2c-cli pellan-i2c-cli-demo)
set(icon_sizes 16 22 24 32 48 64 128 256)
set(metainfo_file share/metainfo/example.tremwick.pellan_i2c.metainfo.xml)
set(expected
    lib/udev/rules.d/70-pellan-i2c.rules
    share/applications/pellan-i2c.desktop
    share/doc/pellan-i2c/LICENSE-google-material-icons.txt
    share/doc/pellan-i2c/LICENSE-hidapi.txt
    share/doc/pellan-i2c/LICENSE-qt.txt
    share/doc/pellan-i2c/changelog.gz
    share/doc/pellan-i2c/copyright
    share/icons/hicolor/scalable/apps/pellan-i2c.svg
    share/pellan-i2c/maps/ina219.i2cmap
    share/pellan-i2c/maps/lm75.i2cmap
    share/pellan-i2c/maps/mcp9808.i2cmap
    share/pellan-i2c/maps/tmp102.i2cmap
    ${metainfo_file}
)
foreach(program IN LISTS programs)
    list(APPEND expected bin/${program} share/man/man1/${program}.1.gz)
endforeach()
set(python_modules)
if(PYTHON_DIR)
    set(python_modules ${PYTHON_DIR}/pellan_i2c/_core${PYTHON_MODULE_SUFFIX}
                       ${PYTHON_DIR}/pellan_i2c/sim/_core${PYTHON_MODULE_SUFFIX})
    list(APPEND expected ${python_modules}
        share/doc/python3-pellan-i2c/changelog.gz
        share/doc/python3-pellan-i2c/copyright)
    foreach(file __init__.py _busio.py _core.pyi _registers.py _smbus.py busio.py py.typed
                 sim/__init__.py sim/_core.pyi sim/busio.py)
        list(APPEND expected ${PYTHON_DIR}/pellan_i2c/${file})
    endforeach()
endif()
foreach(size IN LISTS icon_sizes)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/pellan-i2c.png)
endforeach()
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${prefix}" "${prefix}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
    list(JOIN installed ", " got)
    list(JOIN expected ", " want)
    fail("installed files differ:\n  got:      ${got}\n  expected: ${want}")
endif()

foreach(program IN LISTS programs)
    if(EXISTS "${prefix}/bin/${program}" AND NOT IS_DIRECTORY "${prefix}/bin/${program}")
        file(READ "${prefix}/bin/${program}" magic LIMIT 4 HEX)
        if(NOT magic STREQUAL "7f454c46")
            fail("bin/${program} is not an ELF program")
        endif()
    endif()
    set(page "${prefix}/share/man/man1/${program}.1.gz")
    if(EXISTS "${page}")
        file(READ "${page}" magic LIMIT 2 HEX)
        if(NOT magic STREQUAL "1f8b")
            fail("the man page of ${program} is not compressed with gzip")
        endif()
    endif()
endforeach()

foreach(module IN LISTS python_modules)
    if(EXISTS "${prefix}/${module}")
        file(READ "${prefix}/${module}" magic LIMIT 4 HEX)
        if(NOT magic STREQUAL "7f454c46")
            fail("${module} is not an ELF shared object")
        endif()
    endif()
endforeach()

# The About dialog opens the licences from <bin>/../share/doc/pellan-i2c.
foreach(name LICENSE-qt.txt LICENSE-hidapi.txt LICENSE-google-material-icons.txt)
    set(file "${prefix}/bin/../share/doc/pellan-i2c/${name}")
    if(EXISTS "${file}")
        file(SHA256 "${file}" got)
        file(SHA256 "${SOURCE_DIR}/${name}" want)
        if(NOT got STREQUAL want)
            fail("${name} differs from the source tree's")
        endif()
    endif()
endforeach()

set(desktop "${prefix}/share/applications/pellan-i2c.desktop")
if(EXISTS "${desktop}")
    file(STRINGS "${desktop}" lines)
    list(GET lines 0 group)
    if(NOT group STREQUAL "[Desktop Entry]")
        fail("desktop entry does not start with [Desktop Entry]")
    endif()
    foreach(line "Type=Application" "Name=Pellan I2C" "Exec=pellan-i2c" "Icon=pellan-i2c"
                 "Categories=Development;Electronics;")
        if(NOT line IN_LIST lines)
            fail("desktop entry lacks ${line}")
        endif()
    endforeach()
endif()

# Each PNG icon has the size its folder names.
foreach(size IN LISTS icon_sizes)
    set(icon "${prefix}/share/icons/hicolor/${size}x${size}/apps/pellan-i2c.png")
    if(EXISTS "${icon}")
        # PNG signature, then the IHDR width and height.
        file(READ "${icon}" signature LIMIT 8 HEX)
        file(READ "${icon}" width OFFSET 16 LIMIT 4 HEX)
        file(READ "${icon}" height OFFSET 20 LIMIT 4 HEX)
        math(EXPR width "0x${width}")
        math(EXPR height "0x${height}")
        if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT width EQUAL size
           OR NOT height EQUAL size)
            fail("the ${size}x${size} icon is not a ${size} x ${size} PNG")
        endif()
    endif()
endforeach()

# The rule must match the vendor ID the program looks for, in lower case.
set(rules "${prefix}/lib/udev/rules.d/70-pellan-i2c.rules")
if(EXISTS "${rules}")
    file(READ "${SOURCE_DIR}/i2c/orvusbids.h" ids)
    string(REGEX MATCH "kVendorId = 0x([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]);" _ "${ids}")
    string(TOLOWER "${CMAKE_MATCH_1}" vendor)
    if(vendor STREQUAL "")
        fail("no kVendorId in i2c/orvusbids.h")
    endif()
    file(STRINGS "${rules}" rule_lines REGEX "^[^#]")
    foreach(line
            "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"${vendor}\", TAG+=\"uaccess\""
            "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"${vendor}\", TAG+=\"uaccess\"")
        if(NOT line IN_LIST rule_lines)
            fail("udev rule lacks: ${line}")
        endif()
    endforeach()
    list(LENGTH rule_lines count)
    if(NOT count EQUAL 2)
        fail("udev rule has ${count} rules, expected 2")
    endif()
endif()

# Software centres find the programs and, by USB ID, each adapter model.
set(metainfo "${prefix}/${metainfo_file}")
if(EXISTS "${metainfo}")
    file(READ "${metainfo}" xml)
    set(provides)
    foreach(program IN LISTS programs)
        list(APPEND provides "<binary>${program}</binary>")
    endforeach()
    file(STRINGS "${SOURCE_DIR}/i2c/orvusbids.h" product_lines
         REGEX "kProductId[A-Za-z0-9]* = 0x[0-9A-Fa-f]+;")
    list(LENGTH product_lines product_count)
    if(product_count LESS 3)
        fail("fewer than three product IDs in i2c/orvusbids.h")
    endif()
    string(TOUPPER "${vendor}" vendor_upper)
    foreach(line IN LISTS product_lines)
        string(REGEX MATCH "0x([0-9A-Fa-f]+);" _ "${line}")
        string(TOUPPER "${CMAKE_MATCH_1}" product)
        list(APPEND provides "<modalias>usb:v${vendor_upper}p${product}d*</modalias>")
    endforeach()
    list(APPEND provides "<launchable type=\"desktop-id\">pellan-i2c.desktop</launchable>")
    foreach(entry IN LISTS provides)
        string(FIND "${xml}" "${entry}" at)
        if(at EQUAL -1)
            fail("the AppStream metadata lacks ${entry}")
        endif()
    endforeach()
endif()

file(REMOVE_RECURSE "${prefix}")
if(failures)
    list(JOIN failures "\n" text)
    message(FATAL_ERROR "${text}")
endif()
