# Builds the Windows platform test with MinGW-w64 through the cross toolchain file and runs it
# under Wine. Included from tests/CMakeLists.txt; skipped only where either tool is missing.
find_program(LARKSPUR_MINGW_CXX x86_64-w64-mingw32-g++)
find_program(LARKSPUR_WINE wine)
set(wintest_runner ${CMAKE_CURRENT_LIST_DIR}/run_under_wine.sh)

if(LARKSPUR_MINGW_CXX AND LARKSPUR_WINE)
    include(ExternalProject)
    set(wintest_binary_dir ${CMAKE_CURRENT_BINARY_DIR}/windows)
    ExternalProject_Add(nativeapi_wintest
        SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
        BINARY_DIR ${wintest_binary_dir}
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
            -DCMAKE_BUILD_TYPE=Release
            -DLARKSPUR_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DLARKSPUR_WERROR=${LARKSPUR_WERROR}
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${wintest_binary_dir}/nativeapi_wintest.exe
        INSTALL_COMMAND ""
    )
    add_test(NAME nativeapi_wintest
        COMMAND ${wintest_runner} ${LARKSPUR_WINE} ${wintest_binary_dir}/nativeapi_wintest.exe
                ${wintest_binary_dir}/wineprefix)
else()
    add_test(NAME nativeapi_wintest COMMAND ${wintest_runner})
endif()
set_tests_properties(nativeapi_wintest PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
