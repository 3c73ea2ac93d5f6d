# ktw_add_tests(<library> [LIBS extra...] [TESTING testing libraries...])
# Every tests/*_test.cpp of the calling folder becomes one GoogleTest program linked with <library>.
# The folder's test support (tests/support/) is its testing library, <library>_testing: the support sources
# compiled once (an interface library when there are only headers), linked into each test program. The folder's
# own tests include its headers as "support/...". Another folder's tests link it by naming it under TESTING and
# include its headers from the project root ("winapi/tests/support/xvfb_server.h"); nothing else of a folder's
# tests is for other folders.
function(ktw_add_tests lib)
    if(KTW_FUZZ)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "LIBS;TESTING" ${ARGN})
    file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
    file(GLOB support_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp)
    set(test_definitions KTW_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}" KTW_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests")
    set(testing ${lib}_testing)
    if(support_sources)
        add_library(${testing} STATIC ${support_sources})
        target_link_libraries(${testing} PUBLIC ${lib} ${ARG_LIBS} ${ARG_TESTING} GTest::gtest GTest::gmock
                                                Threads::Threads)
        target_include_directories(${testing} PUBLIC ${PROJECT_SOURCE_DIR} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
        target_compile_definitions(${testing} PRIVATE ${test_definitions})
    else()
        add_library(${testing} INTERFACE)
        target_include_directories(${testing} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${testing} INTERFACE ${lib} ${ARG_LIBS} ${ARG_TESTING} GTest::gtest GTest::gmock
                                                   Threads::Threads)
    endif()
    foreach(src IN LISTS test_sources)
        get_filename_component(name ${src} NAME_WE)
        set(target ${lib}_${name})
        add_executable(${target} ${src})
        target_link_libraries(${target} PRIVATE ${testing} ${lib} ${ARG_LIBS} GTest::gtest_main GTest::gmock
                                                Threads::Threads)
        target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
        target_compile_definitions(${target} PRIVATE ${test_definitions})
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
    endforeach()
endfunction()

# ktw_library(<name> [LIBS deps...] [SUBDIRS folders...]): a library from the calling folder's *.cpp (tests
# excluded) and those of the listed subfolders. A folder with no sources yet is an interface library.
function(ktw_library name)
    cmake_parse_arguments(ARG "" "" "LIBS;PRIVATE_LIBS;SUBDIRS" ${ARGN})
    set(patterns ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
    foreach(dir IN LISTS ARG_SUBDIRS)
        list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    endif()
endfunction()
