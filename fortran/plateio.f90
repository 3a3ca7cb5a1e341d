! The plateio module: libplateio for Fortran hosts, in standard Fortran 2008 with iso_c_binding.
!
! Two layers:
!   - the raw layer mirrors plateio.h: the records as bind(C) types with the C member names, every
!     constant and result code, and an interface to every exported function under its C name. What the
!     C header says of a function holds here word for word (the twelve readers and transforms print their
!     failures on C's stdout; blocks they hand over are released with C's free, plateio_c_free here).
!   - the idiomatic layer (plateio_load, plateio_load_mask, plateio_correct, plateio_version_string,
!     frame_path, frame_reason) shows no C pointer: Fortran arrays and strings, failures as stat and
!     errmsg, and nothing printed, for it calls the quiet functions only.
!
! Orientation: the library's images are row-major, column x of row y at element y * width + x. An
! array shaped (width, height) holds the same bytes in Fortran's column-major order, so pixels(x+1, y+1)
! is column x of row y: the idiomatic layer hands out such arrays, and the raw layer's blocks can be
! viewed so with c_f_pointer(block, pixels, [width, height]).
!
! The module compiles with any Fortran 2008 compiler; the .mod file it produces is that compiler's own.
module plateio
    use, intrinsic :: iso_c_binding
    use, intrinsic :: iso_fortran_env, only: error_unit, int8, int32, int64, real64
    implicit none
    private

    ! ---- Constants and codes ----------------------------------------------------------------------

    integer(c_int32_t), parameter, public :: PIXEL_OVERFLOW = 256001
    integer, parameter, public :: PLATEIO_PATH_CAPACITY = 4096
    real(c_double), parameter, public :: PLATEIO_UNSET = -999.0_c_double

    integer, parameter, public :: PLATEIO_VERSION_MAJOR = 1, PLATEIO_VERSION_MINOR = 1, &
                                  PLATEIO_VERSION_PATCH = 0

    integer(c_int32_t), parameter, public :: PLATEIO_FAMILY_UNKNOWN = 0, PLATEIO_FAMILY_TRA = 1, &
                                             PLATEIO_FAMILY_XAREA = 2

    integer(c_int32_t), parameter, public :: &
        PLATEIO_OK = 0, PLATEIO_E_ARGUMENT = 1, PLATEIO_E_OPEN = 2, PLATEIO_E_FORMAT = 3, &
        PLATEIO_E_NOT_CONTAINER = 4, PLATEIO_E_TOC = 5, PLATEIO_E_NO_HEADER = 6, &
        PLATEIO_E_HEADER_SEEK = 7, PLATEIO_E_NO_PIXELS = 8, PLATEIO_E_PIXEL_SEEK = 9, &
        PLATEIO_E_CORRUPT = 10, PLATEIO_E_SHORT = 11, PLATEIO_E_ROW_TABLE = 12, PLATEIO_E_SIZE = 13, &
        PLATEIO_E_NO_MEMORY = 14, PLATEIO_E_CAPACITY = 15, PLATEIO_E_PATH = 16

    integer(c_int32_t), parameter, public :: PLATEIO_WARN_COUNTS = 1, PLATEIO_KEEP_SATURATED = 1
    integer(c_int32_t), parameter, public :: PLATEIO_HOST_SIND = 1, PLATEIO_HOST_COSD = 2, &
                                             PLATEIO_HOST_BINNING = 4

    ! ---- Records ----------------------------------------------------------------------------------

    ! Description of one exposure (read_tra_header, read_xi_header, plateio_frame%info). geometry(k+1)
    ! is the C geometry[k]; path is zero-terminated (frame_path turns a frame's into a string).
    type, bind(C), public :: image_info
        integer(c_int32_t) :: overload_count = 0
        real(c_double) :: geometry(9) = 0
        integer(c_int32_t) :: setting = 0
        integer(c_int32_t) :: overflow_threshold = 0
        real(c_double) :: scale_value = 0
        character(kind=c_char) :: path(PLATEIO_PATH_CAPACITY) = c_null_char
    end type image_info

    ! The 412-byte image header record of an X-Area file, the file's bytes as they are (little-endian).
    ! C packs it to 412 bytes, which a bind(C) type of its members cannot mirror (it would be 416), so
    ! it is held as bytes and read through the xi_ functions below, in host byte order on every host.
    type, bind(C), public :: xi_header
        integer(c_int8_t) :: bytes(412) = 0
    end type xi_header

    ! The image record of read_xi. pixels is a C block of width * height values (row-major); release it
    ! with plateio_c_free.
    type, bind(C), public :: pixel_image
        type(c_ptr) :: pixels = c_null_ptr
        integer(c_int32_t) :: width = 0
        integer(c_int32_t) :: height = 0
        integer(c_int32_t) :: overflow_threshold = 0
        integer(c_int32_t) :: pixel_count = 0
        integer(c_int32_t) :: overflow_count = 0
        real(c_double) :: scale_value = 0
        real(c_double) :: geometry1 = 0
        real(c_double) :: geometry0 = 0
    end type pixel_image

    ! The reduction parameters of read_xi. geometry2 starts "not set", so read_xi takes it from the file.
    type, bind(C), public :: reduction_params
        real(c_double) :: geometry2 = PLATEIO_UNSET
        real(c_double) :: geometry4 = 0
        real(c_double) :: geometry0 = 0
        real(c_double) :: geometry1 = 0
        real(c_double) :: geometry3 = 0
        real(c_double) :: geometry5 = 0
    end type reduction_params

    ! The target of read_az_tra: cells is the host's array (c_loc of an int32 array with target).
    type, bind(C), public :: remap_target
        type(c_ptr) :: cells = c_null_ptr
        integer(c_int32_t) :: grid_mode = 600
        integer(c_int32_t) :: cell_count = 0
        integer(c_int32_t) :: overload_count = 0
        real(c_double) :: aux_value = 0
    end type remap_target

    ! The eight parameters of the geometry correction, all 0 unless given:
    ! geometry_params(rotation=30.0_real64) is a rotation alone.
    type, bind(C), public :: geometry_params
        real(c_double) :: radial_shift = 0
        real(c_double) :: tangential_shift = 0
        real(c_double) :: offset_x = 0
        real(c_double) :: offset_y = 0
        real(c_double) :: distance_offset = 0
        real(c_double) :: tilt_y = 0
        real(c_double) :: tilt_x = 0
        real(c_double) :: rotation = 0
    end type geometry_params

    ! What the quiet functions tell about a file. warnings holds C's uint32_t bits.
    type, bind(C), public :: plateio_frame
        integer(c_int32_t) :: family = PLATEIO_FAMILY_UNKNOWN
        integer(c_int32_t) :: width = 0
        integer(c_int32_t) :: height = 0
        integer(c_int32_t) :: compressed = 0
        integer(c_int32_t) :: overflow_threshold = 0
        integer(c_int32_t) :: overflow_count = -1
        type(image_info) :: info
        character(kind=c_char) :: reason(256) = c_null_char
        integer(c_int32_t) :: warnings = 0
        integer(c_int32_t) :: system_error = 0
        integer(c_int64_t) :: pixel_bytes = 0
    end type plateio_frame

    ! ---- The exported functions, under their C names ----------------------------------------------
    ! Paths are zero-terminated: pass 'name'//c_null_char (or trim(buffer)//c_null_char).

    public :: read_tra, read_short_tra, read_tra_header, convert_8_to_double, convert_4_to_int, &
              read_az_tra, readXImage, uncompressImage, read_xi, read_xi_header, correct_cry, &
              anti_correct, plateio_version, plateio_probe, plateio_read, plateio_read_mask, &
              plateio_strerror, plateio_correct_points, plateio_host_routines, plateio_c_malloc, &
              plateio_c_free

    interface
        integer(c_int32_t) function read_tra(path, pixels, width, height) bind(C, name='read_tra')
            import :: c_char, c_ptr, c_int32_t
            character(kind=c_char), intent(in) :: path(*)
            type(c_ptr), intent(inout) :: pixels
            integer(c_int32_t), intent(inout) :: width, height
        end function read_tra

        integer(c_int32_t) function read_short_tra(path, pixels, width, height) &
            bind(C, name='read_short_tra')
            import :: c_char, c_ptr, c_int32_t
            character(kind=c_char), intent(in) :: path(*)
            type(c_ptr), intent(inout) :: pixels
            integer(c_int32_t), intent(inout) :: width, height
        end function read_short_tra

        integer(c_int32_t) function read_tra_header(path, info) bind(C, name='read_tra_header')
            import :: c_char, c_int32_t, image_info
            character(kind=c_char), intent(in) :: path(*)
            type(image_info), intent(inout) :: info
        end function read_tra_header

        real(c_double) function convert_8_to_double(bytes) bind(C, name='convert_8_to_double')
            import :: c_double, c_int8_t
            integer(c_int8_t), intent(in) :: bytes(8)
        end function convert_8_to_double

        integer(c_int32_t) function convert_4_to_int(bytes) bind(C, name='convert_4_to_int')
            import :: c_int32_t, c_int8_t
            integer(c_int8_t), intent(in) :: bytes(4)
        end function convert_4_to_int

        ! index_map: a C pointer to the map (c_loc of an int32 array with target), passed by reference
        ! as C's int32_t **. Map entries are 0-based indices of target%cells.
        integer(c_int32_t) function read_az_tra(path, target, index_map) bind(C, name='read_az_tra')
            import :: c_char, c_ptr, c_int32_t, remap_target
            character(kind=c_char), intent(in) :: path(*)
            type(remap_target), intent(inout) :: target
            type(c_ptr), intent(in) :: index_map
        end function read_az_tra

        integer(c_int32_t) function readXImage(path, header, block) bind(C, name='readXImage')
            import :: c_char, c_ptr, c_int32_t, xi_header
            character(kind=c_char), intent(in) :: path(*)
            type(xi_header), intent(inout) :: header
            type(c_ptr), intent(inout) :: block
        end function readXImage

        subroutine uncompressImage(header, block) bind(C, name='uncompressImage')
            import :: c_ptr, xi_header
            type(xi_header), intent(in) :: header
            type(c_ptr), intent(inout) :: block
        end subroutine uncompressImage

        integer(c_int32_t) function read_xi(path, image, params) bind(C, name='read_xi')
            import :: c_char, c_int32_t, pixel_image, reduction_params
            character(kind=c_char), intent(in) :: path(*)
            type(pixel_image), intent(inout) :: image
            type(reduction_params), intent(inout) :: params
        end function read_xi

        integer(c_int32_t) function read_xi_header(path, info) bind(C, name='read_xi_header')
            import :: c_char, c_int32_t, image_info
            character(kind=c_char), intent(in) :: path(*)
            type(image_info), intent(inout) :: info
        end function read_xi_header

        subroutine correct_cry(point, params, distance) bind(C, name='correct_cry')
            import :: c_double, geometry_params
            real(c_double), intent(inout) :: point(2)
            type(geometry_params), intent(in) :: params
            real(c_double), value :: distance
        end subroutine correct_cry

        subroutine anti_correct(point, params, distance) bind(C, name='anti_correct')
            import :: c_double, geometry_params
            real(c_double), intent(inout) :: point(2)
            type(geometry_params), intent(in) :: params
            real(c_double), value :: distance
        end subroutine anti_correct

        type(c_ptr) function plateio_version() bind(C, name='plateio_version')
            import :: c_ptr
        end function plateio_version

        integer(c_int32_t) function plateio_probe(path, frame) bind(C, name='plateio_probe')
            import :: c_char, c_int32_t, plateio_frame
            character(kind=c_char), intent(in) :: path(*)
            type(plateio_frame), intent(inout) :: frame
        end function plateio_probe

        ! pixels: the host's array of capacity elements (any array with capacity 0 to learn the size).
        integer(c_int32_t) function plateio_read(path, pixels, capacity, frame, flags) &
            bind(C, name='plateio_read')
            import :: c_char, c_int32_t, c_size_t, plateio_frame
            character(kind=c_char), intent(in) :: path(*)
            integer(c_int32_t), intent(inout) :: pixels(*)
            integer(c_size_t), value :: capacity
            type(plateio_frame), intent(inout) :: frame
            integer(c_int32_t), value :: flags
        end function plateio_read

        integer(c_int32_t) function plateio_read_mask(path, mask, capacity, frame) &
            bind(C, name='plateio_read_mask')
            import :: c_char, c_int8_t, c_int32_t, c_size_t, plateio_frame
            character(kind=c_char), intent(in) :: path(*)
            integer(c_int8_t), intent(inout) :: mask(*)
            integer(c_size_t), value :: capacity
            type(plateio_frame), intent(inout) :: frame
        end function plateio_read_mask

        type(c_ptr) function plateio_strerror(code) bind(C, name='plateio_strerror')
            import :: c_ptr, c_int32_t
            integer(c_int32_t), value :: code
        end function plateio_strerror

        ! xy: count (x, y) pairs, e.g. an array shaped (2, count).
        subroutine plateio_correct_points(xy, count, params, distance, inverse) &
            bind(C, name='plateio_correct_points')
            import :: c_double, c_size_t, c_int32_t, geometry_params
            real(c_double), intent(inout) :: xy(*)
            integer(c_size_t), value :: count
            type(geometry_params), intent(in) :: params
            real(c_double), value :: distance
            integer(c_int32_t), value :: inverse
        end subroutine plateio_correct_points

        integer(c_int32_t) function plateio_host_routines() bind(C, name='plateio_host_routines')
            import :: c_int32_t
        end function plateio_host_routines

        ! C's malloc and free: the blocks the library hands over are released with free, and a binning
        ! that replaces its block allocates the new one with malloc.
        type(c_ptr) function plateio_c_malloc(size) bind(C, name='malloc')
            import :: c_ptr, c_size_t
            integer(c_size_t), value :: size
        end function plateio_c_malloc

        subroutine plateio_c_free(block) bind(C, name='free')
            import :: c_ptr
            type(c_ptr), value :: block
        end subroutine plateio_c_free

        integer(c_size_t) function c_strlen(text) bind(C, name='strlen')
            import :: c_ptr, c_size_t
            type(c_ptr), value :: text
        end function c_strlen
    end interface

    ! ---- The X-Area header record's fields, in host byte order ------------------------------------

    public :: xi_compression, xi_width, xi_height, xi_geometry, xi_setting, xi_overflow_threshold, &
              xi_scale_value, xi_overload_count, xi_delta16_count, xi_delta32_count

    ! ---- The idiomatic layer ----------------------------------------------------------------------

    public :: plateio_load, plateio_load_mask, plateio_correct, plateio_version_string, frame_path, &
              frame_reason

contains

    ! -- xi_header fields: little-endian bytes at fixed offsets of the record.

    pure logical function little_endian()
        little_endian = transfer([1_int8, 0_int8, 0_int8, 0_int8], 0_int32) == 1
    end function little_endian

    pure integer(int32) function field_int32(header, offset)
        type(xi_header), intent(in) :: header
        integer, intent(in) :: offset
        integer(int8) :: b(4)
        b = header%bytes(offset + 1:offset + 4)
        if (.not. little_endian()) b = b(4:1:-1)
        field_int32 = transfer(b, 0_int32)
    end function field_int32

    pure real(real64) function field_real64(header, offset)
        type(xi_header), intent(in) :: header
        integer, intent(in) :: offset
        integer(int8) :: b(8)
        b = header%bytes(offset + 1:offset + 8)
        if (.not. little_endian()) b = b(8:1:-1)
        field_real64 = transfer(b, 0.0_real64)
    end function field_real64

    ! 1: the pixel block is difference-coded; else plain int32.
    pure integer(int32) function xi_compression(header)
        type(xi_header), intent(in) :: header
        xi_compression = field_int32(header, 16)
    end function xi_compression

    pure integer(int32) function xi_width(header)
        type(xi_header), intent(in) :: header
        xi_width = field_int32(header, 20)
    end function xi_width

    pure integer(int32) function xi_height(header)
        type(xi_header), intent(in) :: header
        xi_height = field_int32(header, 24)
    end function xi_height

    ! The header's geometry value k (0 to 8) as read_xi_header stores it in image_info%geometry(k+1):
    ! 0 to 5 are reals, 6 to 8 integers converted. Any other k gives 0.
    pure real(real64) function xi_geometry(header, k)
        type(xi_header), intent(in) :: header
        integer, intent(in) :: k
        integer, parameter :: offsets(0:8) = [200, 216, 176, 224, 152, 232, 96, 100, 104]
        xi_geometry = 0
        if (k >= 0 .and. k <= 5) xi_geometry = field_real64(header, offsets(k))
        if (k >= 6 .and. k <= 8) xi_geometry = real(field_int32(header, offsets(k)), real64)
    end function xi_geometry

    pure integer(int32) function xi_setting(header)
        type(xi_header), intent(in) :: header
        xi_setting = field_int32(header, 328)
    end function xi_setting

    pure integer(int32) function xi_overflow_threshold(header)
        type(xi_header), intent(in) :: header
        xi_overflow_threshold = field_int32(header, 332)
    end function xi_overflow_threshold

    pure real(real64) function xi_scale_value(header)
        type(xi_header), intent(in) :: header
        xi_scale_value = field_real64(header, 336)
    end function xi_scale_value

    pure integer(int32) function xi_overload_count(header)
        type(xi_header), intent(in) :: header
        xi_overload_count = field_int32(header, 344)
    end function xi_overload_count

    pure integer(int32) function xi_delta16_count(header)
        type(xi_header), intent(in) :: header
        xi_delta16_count = field_int32(header, 348)
    end function xi_delta16_count

    pure integer(int32) function xi_delta32_count(header)
        type(xi_header), intent(in) :: header
        xi_delta32_count = field_int32(header, 352)
    end function xi_delta32_count

    ! -- Strings across the boundary.

    ! A path as C wants it: trailing blanks dropped, as OPEN drops them, and zero-terminated.
    pure function c_path(path) result(s)
        character(*), intent(in) :: path
        character(:), allocatable :: s
        s = trim(path)//c_null_char
    end function c_path

    ! The characters of a zero-terminated array before its first zero.
    pure function from_chars(chars) result(s)
        character(kind=c_char), intent(in) :: chars(:)
        character(:), allocatable :: s
        integer :: n, i
        n = size(chars)
        do i = 1, size(chars)
            if (chars(i) == c_null_char) then
                n = i - 1
                exit
            end if
        end do
        allocate (character(n) :: s)
        do i = 1, n
            s(i:i) = chars(i)
        end do
    end function from_chars

    ! A static C string (plateio_version, plateio_strerror) as a Fortran string.
    function from_c_string(text) result(s)
        type(c_ptr), intent(in) :: text
        character(:), allocatable :: s
        character(kind=c_char), pointer :: chars(:)
        if (.not. c_associated(text)) then
            s = ''
            return
        end if
        call c_f_pointer(text, chars, [c_strlen(text)])
        s = from_chars(chars)
    end function from_c_string

    ! "MAJOR.MINOR.PATCH" of the library loaded.
    function plateio_version_string() result(v)
        character(:), allocatable :: v
        v = from_c_string(plateio_version())
    end function plateio_version_string

    ! The path a frame was read from.
    function frame_path(frame) result(s)
        type(plateio_frame), intent(in) :: frame
        character(:), allocatable :: s
        s = from_chars(frame%info%path)
    end function frame_path

    ! What went wrong (or, after a successful read, a warning's text; else empty).
    function frame_reason(frame) result(s)
        type(plateio_frame), intent(in) :: frame
        character(:), allocatable :: s
        s = from_chars(frame%reason)
    end function frame_reason

    ! -- Failures: stat and errmsg, or a stop with the path and the reason.

    ! The text of a failed call: the frame's reason, or the code's name when the frame has none.
    function failure_text(code, frame) result(s)
        integer(c_int32_t), intent(in) :: code
        type(plateio_frame), intent(in) :: frame
        character(:), allocatable :: s
        s = frame_reason(frame)
        if (len(s) == 0) s = from_c_string(plateio_strerror(code))
    end function failure_text

    ! Hands the result to the caller's stat, or stops the program on a failure when there is none.
    ! errmsg is assigned by each caller itself, never passed on here (some compilers fail on an
    ! optional deferred-length dummy handed to another procedure).
    subroutine settle(what, path, code, frame, stat)
        character(*), intent(in) :: what, path
        integer(c_int32_t), intent(in) :: code
        type(plateio_frame), intent(in) :: frame
        integer, intent(out), optional :: stat
        if (present(stat)) then
            stat = code
        else if (code /= PLATEIO_OK) then
            write (error_unit, '(a)') what//': '//trim(path)//': '//failure_text(code, frame)
            error stop 1
        end if
    end subroutine settle

    ! Notes a failed allocation of the host's array in the frame, as the library notes its own.
    subroutine no_memory(frame, width, height)
        type(plateio_frame), intent(inout) :: frame
        integer(c_int32_t), intent(in) :: width, height
        character(len=size(frame%reason) - 1) :: text
        integer :: i
        write (text, '(a,i0,a,i0,a)') 'no memory for an array of ', width, ' x ', height, ' elements'
        do i = 1, len_trim(text)
            frame%reason(i) = text(i:i)
        end do
        frame%reason(len_trim(text) + 1) = c_null_char
    end subroutine no_memory

    logical function shaped(extent, frame)
        integer, intent(in) :: extent(2)
        type(plateio_frame), intent(in) :: frame
        shaped = extent(1) == frame%width .and. extent(2) == frame%height
    end function shaped

    ! -- The idiomatic readers.

    ! Reads the pixels of a file of either family into pixels(width, height): pixels(x+1, y+1) is column
    ! x of row y, an overflowed pixel PIXEL_OVERFLOW. The array is reallocated only when its shape is
    ! not the file's, so a series of equal exposures reuses it. stat: PLATEIO_OK or the code; errmsg: the
    ! reason ('' on success). Without stat a failure stops the program, naming the path and the reason.
    subroutine plateio_load(path, pixels, frame, stat, errmsg)
        character(*), intent(in) :: path
        integer(int32), allocatable, intent(inout) :: pixels(:, :)
        type(plateio_frame), intent(out), optional :: frame
        integer, intent(out), optional :: stat
        character(:), allocatable, intent(out), optional :: errmsg
        type(plateio_frame) :: f
        integer(c_int32_t) :: code, none(1)
        integer :: status
        character(:), allocatable :: cpath
        cpath = c_path(path)
        if (allocated(pixels)) then
            code = plateio_read(cpath, pixels, int(size(pixels, kind=int64), c_size_t), f, 0_c_int32_t)
            if (code == PLATEIO_OK .and. .not. shaped(shape(pixels), f)) code = PLATEIO_E_CAPACITY
        else
            code = plateio_read(cpath, none, 0_c_size_t, f, 0_c_int32_t)
        end if
        if (code == PLATEIO_E_CAPACITY) then
            if (allocated(pixels)) deallocate (pixels)
            allocate (pixels(f%width, f%height), stat=status)
            if (status == 0) then
                code = plateio_read(cpath, pixels, int(size(pixels, kind=int64), c_size_t), f, &
                                    0_c_int32_t)
            else
                code = PLATEIO_E_NO_MEMORY
                call no_memory(f, f%width, f%height)
            end if
        end if
        if (present(frame)) frame = f
        if (present(errmsg)) then
            errmsg = ''
            if (code /= PLATEIO_OK) errmsg = failure_text(code, f)
        end if
        call settle('plateio_load', path, code, f, stat)
    end subroutine plateio_load

    ! As plateio_load, for the mask: 1 for each pixel the file records no value for (a TRA file's
    ! pixels off the round plate), 0 elsewhere.
    subroutine plateio_load_mask(path, mask, frame, stat, errmsg)
        character(*), intent(in) :: path
        integer(int8), allocatable, intent(inout) :: mask(:, :)
        type(plateio_frame), intent(out), optional :: frame
        integer, intent(out), optional :: stat
        character(:), allocatable, intent(out), optional :: errmsg
        type(plateio_frame) :: f
        integer(c_int32_t) :: code
        integer(c_int8_t) :: none(1)
        integer :: status
        character(:), allocatable :: cpath
        cpath = c_path(path)
        if (allocated(mask)) then
            code = plateio_read_mask(cpath, mask, int(size(mask, kind=int64), c_size_t), f)
            if (code == PLATEIO_OK .and. .not. shaped(shape(mask), f)) code = PLATEIO_E_CAPACITY
        else
            code = plateio_read_mask(cpath, none, 0_c_size_t, f)
        end if
        if (code == PLATEIO_E_CAPACITY) then
            if (allocated(mask)) deallocate (mask)
            allocate (mask(f%width, f%height), stat=status)
            if (status == 0) then
                code = plateio_read_mask(cpath, mask, int(size(mask, kind=int64), c_size_t), f)
            else
                code = PLATEIO_E_NO_MEMORY
                call no_memory(f, f%width, f%height)
            end if
        end if
        if (present(frame)) frame = f
        if (present(errmsg)) then
            errmsg = ''
            if (code /= PLATEIO_OK) errmsg = failure_text(code, f)
        end if
        call settle('plateio_load_mask', path, code, f, stat)
    end subroutine plateio_load_mask

    ! Corrects every point xy(:, i) = (x, y) in place (inverse: undoes the correction), with the bits
    ! correct_cry or anti_correct give point by point. xy must be shaped (2, n).
    subroutine plateio_correct(xy, params, distance, inverse)
        real(real64), intent(inout) :: xy(:, :)
        type(geometry_params), intent(in) :: params
        real(real64), intent(in) :: distance
        logical, intent(in), optional :: inverse
        integer(c_int32_t) :: flag
        if (size(xy, 1) /= 2) then
            write (error_unit, '(a,i0,a)') 'plateio_correct: xy is shaped (', size(xy, 1), &
                ', n), not (2, n)'
            error stop 1
        end if
        flag = 0
        if (present(inverse)) then
            if (inverse) flag = 1
        end if
        call plateio_correct_points(xy, int(size(xy, 2, kind=int64), c_size_t), params, distance, flag)
    end subroutine plateio_correct

end module plateio
