! A Fortran host built against an installed plateio. For each exposure named it prints what the
! module's idiomatic layer and X-Area header accessors give, as reference.c prints what the C functions
! give for the same files: the outputs must be equal. Reals are printed as their bits. It supplies no
! host routine, and stops if a second load of a file reallocates the array.
program downstream_fortran
    use, intrinsic :: iso_c_binding
    use, intrinsic :: iso_fortran_env, only: int8, int32, int64, real64
    use plateio
    implicit none
    integer(int32), allocatable, target :: pixels(:, :)
    integer(int8), allocatable :: mask(:, :)
    type(plateio_frame) :: frame
    type(xi_header) :: header
    type(c_ptr) :: block, first
    character(1024) :: path
    real(real64) :: xy(2, 5)
    integer :: i, k

    print '(a,i0)', 'host routines ', plateio_host_routines()
    do i = 1, command_argument_count()
        call get_command_argument(i, path)
        call plateio_load(path, pixels, frame)
        first = c_loc(pixels)
        call plateio_load(path, pixels)
        if (.not. c_associated(first, c_loc(pixels))) error stop 'the array was reallocated'
        print '(a,*(1x,i0))', 'frame', frame%family, frame%width, frame%height, frame%overflow_count
        print '(a,*(1x,i0))', 'pixels', digest(pixels)
        call plateio_load_mask(path, mask)
        print '(a,*(1x,i0))', 'mask', digest(int(mask, int32)), count(mask == 1)
        print '(a,*(1x,i0))', 'header', bits(frame%info%geometry(1:6)), frame%info%overload_count, &
            frame%info%setting, frame%info%overflow_threshold, bits(frame%info%scale_value)
        if (frame%family == PLATEIO_FAMILY_XAREA) then
            block = c_null_ptr
            if (readXImage(trim(path)//c_null_char, header, block) /= 1) error stop 'readXImage failed'
            call plateio_c_free(block)
            print '(a,*(1x,i0))', 'xi', xi_compression(header), xi_width(header), xi_height(header), &
                xi_overflow_threshold(header), xi_setting(header), xi_overload_count(header), &
                bits(xi_scale_value(header)), bits([(xi_geometry(header, k), k = 0, 8)])
        end if
    end do
    xy = reshape([3.0_real64, 4.0_real64, 0.0_real64, 5.0_real64, -2.5_real64, 0.0_real64, 0.001_real64, &
                  0.0_real64, 100.0_real64, -250.0_real64], [2, 5])
    call plateio_correct(xy, geometry_params(0.3_real64, 0.5_real64, 1.0_real64, -2.0_real64, 2.0_real64, &
                                             -7.0_real64, 10.0_real64, 30.0_real64), 200.0_real64)
    print '(a,*(1x,i0))', 'correct', bits(xy)
    call plateio_correct(xy, geometry_params(0.3_real64, 0.5_real64, 1.0_real64, -2.0_real64, 2.0_real64, &
                                             -7.0_real64, 10.0_real64, 30.0_real64), 200.0_real64, .true.)
    print '(a,*(1x,i0))', 'anti', bits(xy)

contains

    elemental integer(int64) function bits(x)
        real(real64), intent(in) :: x
        bits = transfer(x, 0_int64)
    end function bits

    ! Row by row, column x of row y at (x+1, y+1): the order of the library's row-major arrays.
    integer(int64) function digest(values)
        integer(int32), intent(in) :: values(:, :)
        integer :: x, y
        digest = 0
        do y = 1, size(values, 2)
            do x = 1, size(values, 1)
                digest = modulo(digest * 31 + values(x, y), 2147483647_int64)
            end do
        end do
    end function digest

end program downstream_fortran
