! A Fortran host on an installed plateio, holding the module to the C functions (raw interfaces) for each
! exposure named: the idiomatic pixels (orientation included), the reuse of the array, mask, header values,
! X-Area header accessors; then corrected points. Prints one line a file; stops at a difference.
program downstream_fortran
    use, intrinsic :: iso_c_binding
    use, intrinsic :: iso_fortran_env, only: error_unit, int8, int32, real64
    use plateio
    implicit none
    integer(int32), allocatable, target :: pixels(:, :)
    integer(int8), allocatable :: mask(:, :), c_mask(:)
    integer(c_int32_t), pointer :: c_pixels(:, :)
    type(plateio_frame) :: frame, c_frame
    type(image_info) :: info
    type(pixel_image) :: image
    type(reduction_params) :: params
    type(xi_header) :: header
    type(c_ptr) :: block, first
    type(geometry_params), parameter :: geometry = geometry_params(0.3_real64, 0.5_real64, 1.0_real64, &
        -2.0_real64, 2.0_real64, -7.0_real64, 10.0_real64, 30.0_real64)
    character(1024) :: path
    character(:), allocatable :: cpath
    real(real64) :: expected(2, 5), xy(2, 5) = reshape([3.0_real64, 4.0_real64, 0.0_real64, 5.0_real64, &
        -2.5_real64, 0.0_real64, 0.001_real64, 0.0_real64, 100.0_real64, -250.0_real64], [2, 5])
    integer(c_int32_t) :: width, height
    logical :: xarea
    integer :: i, k

    do i = 1, command_argument_count()
        call get_command_argument(i, path)
        cpath = trim(path)//c_null_char
        call plateio_load(path, pixels, frame)
        first = c_loc(pixels)
        call plateio_load(path, pixels)
        call check(c_associated(first, c_loc(pixels)), 'the array was reallocated')
        xarea = frame%family == PLATEIO_FAMILY_XAREA
        block = c_null_ptr
        if (xarea) then
            call check(read_xi(cpath, image, params) == 1 .and. read_xi_header(cpath, info) == 1, 'read_xi')
            block = image%pixels
            width = image%width
            height = image%height
        else
            call check(read_tra(cpath, block, width, height) == 1, 'read_tra')
            call check(read_tra_header(cpath, info) == 1, 'read_tra_header')
        end if
        call c_f_pointer(block, c_pixels, [width, height])
        call check(all(shape(pixels) == [width, height]) .and. all(pixels == c_pixels), 'pixels')
        call check(frame%overflow_count == count(c_pixels == PIXEL_OVERFLOW), 'overflow count')
        call plateio_c_free(block)
        call check(all(frame%info%geometry(1:merge(9, 6, xarea)) == info%geometry(1:merge(9, 6, xarea))) &
            .and. frame%info%overload_count == info%overload_count .and. frame%info%setting == info%setting &
            .and. frame%info%overflow_threshold == info%overflow_threshold &
            .and. frame%info%scale_value == info%scale_value, 'header values')
        call plateio_load_mask(path, mask)
        c_mask = reshape(1_int8 - mask, [size(mask)]) ! every element must be written to compare equal
        k = plateio_read_mask(cpath, c_mask, size(mask, kind=c_size_t), c_frame)
        call check(k == PLATEIO_OK .and. all(mask == reshape(c_mask, [width, height])), 'mask')
        if (xarea) then
            call check(readXImage(cpath, header, block) == 1, 'readXImage')
            call plateio_c_free(block)
            call check(all([(xi_geometry(header, k), k = 0, 8)] == info%geometry) .and. &
                xi_setting(header) == info%setting .and. xi_overload_count(header) == info%overload_count &
                .and. xi_overflow_threshold(header) == info%overflow_threshold .and. xi_scale_value(header) &
                == info%scale_value .and. xi_width(header) == width .and. xi_height(header) == height .and. &
                xi_compression(header) == c_frame%compressed, 'xi_header fields')
        end if
        print '(a,i0,a,i0,a,i0,a,i0)', 'family ', frame%family, ', ', width, ' x ', height, &
            ', masked ', count(mask == 1)
    end do
    do k = 0, 1 ! the correction, then its inverse
        expected = xy
        do i = 1, size(xy, 2)
            if (k == 0) call correct_cry(expected(:, i), geometry, 200.0_real64)
            if (k == 1) call anti_correct(expected(:, i), geometry, 200.0_real64)
        end do
        call plateio_correct(xy, geometry, 200.0_real64, inverse=k == 1)
        call check(all(xy == expected), 'corrected points')
    end do

contains

    subroutine check(condition, what)
        logical, intent(in) :: condition
        character(*), intent(in) :: what
        if (.not. condition) write (error_unit, '(2a)') what, ': the Fortran module and the C functions differ'
        if (.not. condition) error stop 1
    end subroutine check

end program downstream_fortran
