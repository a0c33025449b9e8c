if(VENNICK_SANITIZE)
  add_compile_options(-fsanitize=${VENNICK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VENNICK_SANITIZE})
endif()
