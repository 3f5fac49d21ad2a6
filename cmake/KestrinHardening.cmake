# Hardening for everything this tree builds (the module, the tool, the tests
# that load them), the way Debian builds its own packages:
#   Linux    stack protector, fortified libc calls, control-flow protection
#            where the target has it, stack clash protection, full RELRO with
#            immediate binding, position-independent executables;
#   Windows  ASLR (also high-entropy on 64-bit) and DEP, asked for explicitly
#            rather than left to the linker's defaults.
# Each flag is probed first, so a compiler or target without it (-fcf-protection
# exists only on x86) builds without it instead of failing.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

function(kestrin_add_compile_flag_if_supported flag)
    string(MAKE_C_IDENTIFIER "KESTRIN_HAS${flag}" probe)
    check_cxx_compiler_flag(${flag} ${probe}_CXX)
    check_c_compiler_flag(${flag} ${probe}_C)
    if(${probe}_CXX AND ${probe}_C)
        add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${flag}>)
    endif()
endfunction()

function(kestrin_add_link_flag_if_supported flag)
    string(MAKE_C_IDENTIFIER "KESTRIN_LINKS${flag}" probe)
    check_linker_flag(CXX ${flag} ${probe})
    if(${probe})
        add_link_options(${flag})
    endif()
endfunction()

if(WIN32)
    kestrin_add_link_flag_if_supported(LINKER:--dynamicbase)
    kestrin_add_link_flag_if_supported(LINKER:--nxcompat)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        kestrin_add_link_flag_if_supported(LINKER:--high-entropy-va)
    endif()
    return()
endif()

kestrin_add_compile_flag_if_supported(-fstack-protector-strong)
kestrin_add_compile_flag_if_supported(-fstack-clash-protection)
kestrin_add_compile_flag_if_supported(-fcf-protection)
# Fortified calls need the optimiser (glibc warns, and -Werror fails, without
# it), and the sanitizers replace those calls with their own checks.
if(NOT KESTRIN_SANITIZE)
    add_compile_options($<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:-U_FORTIFY_SOURCE>
                        $<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:-D_FORTIFY_SOURCE=2>)
endif()
kestrin_add_link_flag_if_supported(LINKER:-z,relro)
kestrin_add_link_flag_if_supported(LINKER:-z,now)

# Executables as PIE (CMAKE_POSITION_INDEPENDENT_CODE is on for every target).
check_pie_supported(LANGUAGES C CXX)
