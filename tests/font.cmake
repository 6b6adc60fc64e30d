# The display's font tables are generated from the glyph drawings; this fails when
# someone edits one without the other.
find_program(VALDRIX_FONT_PYTHON NAMES python3)
if(NOT VALDRIX_FONT_PYTHON)
  return()
endif()
add_test(NAME font_table COMMAND ${VALDRIX_FONT_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/gen_font.py --check)
