/* The program's own version, shown in its title and carried in the Windows
   executable's version resource (which includes this file, so it holds only
   preprocessor definitions). */
#pragma once

#define VTRL_VERSION_MAJOR 1
#define VTRL_VERSION_THOUSANDTHS 6
#define VTRL_VERSION_TEXT "1.006" /* major.thousandths, as the title shows it */
