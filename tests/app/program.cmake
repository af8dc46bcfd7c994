# The program's tests: command line and status table texts (no toolkit), the
# console view and the stop signals, the dialog (Qt, offscreen), and the
# program itself run as a process (--check-config, --sessions, console mode
# end to end).

# The card link needs a CreateVexlinkInstance even where a test never makes a
# card; the fake's is pulled in by name, whatever the order of the archives.
function(orvane_app_uses_fake_library target)
    target_link_libraries(${target} PRIVATE orvane_fakevexlink)
    target_link_options(${target} PRIVATE "LINKER:--undefined=CreateVexlinkInstance")
endfunction()

orvane_test(app_command_line_test
    SOURCES CommandLineTest.cpp
    LIBS orvane_app)
orvane_app_uses_fake_library(app_command_line_test)

orvane_test(app_console_test
    SOURCES ConsoleStationTest.cpp TerminalViewTest.cpp StatusPaletteTest.cpp
    LIBS orvane_app orvane_fakevexlink)
orvane_app_uses_fake_library(app_console_test)

if(TARGET orvane_gui)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    orvane_test(app_dialog_test
        SOURCES MainDialogTest.cpp
        LIBS orvane_gui orvane_app orvane_fakevexlink Qt6::Test)
    orvane_app_uses_fake_library(app_dialog_test)
    set_target_properties(app_dialog_test PROPERTIES AUTOMOC ON)
    orvane_test(app_dialog_layout_test
        SOURCES DialogLayoutTest.cpp
        LIBS orvane_gui orvane_app orvane_fakevexlink Qt6::Test)
    orvane_app_uses_fake_library(app_dialog_layout_test)
    # Help opens the manual from the program's own folder.
    configure_file(${PROJECT_SOURCE_DIR}/resources/QUENTAR_OrvaneDx.html
                   ${CMAKE_CURRENT_BINARY_DIR}/QUENTAR_OrvaneDx.html COPYONLY)
endif()

if(TARGET OrvaneSystemDx)
    orvane_test(app_program_test
        SOURCES ProgramTest.cpp NothingLostTest.cpp SessionProgramTest.cpp
        LIBS orvane_app)
    orvane_app_uses_fake_library(app_program_test)
    add_dependencies(app_program_test OrvaneSystemDx)
    target_compile_definitions(app_program_test PRIVATE
        ORVANE_PROGRAM_PATH="$<TARGET_FILE:OrvaneSystemDx>")
    if(TARGET orvane-cardhost)
        add_dependencies(app_program_test orvane-cardhost)
        target_compile_definitions(app_program_test PRIVATE
            ORVANE_CARDHOST_PATH="$<TARGET_FILE:orvane-cardhost>")
    endif()
endif()

# The console mode on a real terminal emulator (tmux, driven detached).
find_program(ORVANE_TMUX tmux)
if(TARGET OrvaneSystemDx AND TARGET orvane-cardhost)
    orvane_test(app_terminal_test
        SOURCES TerminalTest.cpp
        LIBS orvane_app)
    orvane_app_uses_fake_library(app_terminal_test)
    add_dependencies(app_terminal_test OrvaneSystemDx orvane-cardhost)
    target_compile_definitions(app_terminal_test PRIVATE
        ORVANE_PROGRAM_PATH="$<TARGET_FILE:OrvaneSystemDx>"
        ORVANE_CARDHOST_PATH="$<TARGET_FILE:orvane-cardhost>")
    if(ORVANE_TMUX)
        target_compile_definitions(app_terminal_test PRIVATE ORVANE_TMUX_PATH="${ORVANE_TMUX}")
    endif()
endif()

orvane_test(app_session_list_test
    SOURCES SessionListTest.cpp
    LIBS orvane_app)
orvane_app_uses_fake_library(app_session_list_test)
