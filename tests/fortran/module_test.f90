! The module against the header: each record's size and member offsets and each constant as C has them
! (layout.c); failures as stat and errmsg with nothing printed (any output fails the test); no host routine
! in use, none being supplied. With "stop", a failure without stat stops, naming the path and reason.
program module_test
    use, intrinsic :: iso_c_binding
    use, intrinsic :: iso_fortran_env, only: error_unit, int8, int32, int64
    use plateio
    implicit none
    interface
        type(c_ptr) function c_layout(table, count) bind(C, name='c_layout')
            import :: c_int, c_size_t, c_ptr
            integer(c_int), value :: table
            integer(c_size_t), intent(out) :: count
        end function c_layout
    end interface
    type :: failing_file
        character(24) :: path, bytes
        integer :: code
    end type failing_file
    type(failing_file), parameter :: cases(3) = [failing_file('no/such/dir/exposure', '', PLATEIO_E_OPEN), &
        failing_file('magic_only.xa', 'STOE_XFILE'//achar(0), PLATEIO_E_NOT_CONTAINER), &
        failing_file('tiny.tra', 'not an exposure', PLATEIO_E_FORMAT)]
    type(image_info), target :: info
    type(pixel_image), target :: image
    type(reduction_params), target :: params
    type(remap_target), target :: remap
    type(geometry_params), target :: geometry
    type(plateio_frame), target :: frame
    type(xi_header) :: header
    integer(int32), allocatable :: pixels(:, :)
    integer(int8), allocatable :: mask(:, :)
    character(:), allocatable :: message, mask_message
    character(8) :: mode
    integer(c_intptr_t) :: base
    integer :: failures, stat, mask_stat, k, unit

    call get_command_argument(1, mode)
    if (mode == 'stop') call plateio_load('no/such/dir/exposure', pixels)
    failures = 0
    base = transfer(c_loc(info), base)
    call compare(1, [c_sizeof(info), at(c_loc(info%overload_count)), &
        at(c_loc(info%geometry)), at(c_loc(info%setting)), at(c_loc(info%overflow_threshold)), &
        at(c_loc(info%scale_value)), at(c_loc(info%path))])
    base = transfer(c_loc(image), base)
    call compare(2, [c_sizeof(image), at(c_loc(image%pixels)), at(c_loc(image%width)), &
        at(c_loc(image%height)), at(c_loc(image%overflow_threshold)), at(c_loc(image%pixel_count)), &
        at(c_loc(image%overflow_count)), at(c_loc(image%scale_value)), at(c_loc(image%geometry1)), &
        at(c_loc(image%geometry0))])
    base = transfer(c_loc(params), base)
    call compare(3, [c_sizeof(params), at(c_loc(params%geometry2)), &
        at(c_loc(params%geometry4)), at(c_loc(params%geometry0)), at(c_loc(params%geometry1)), &
        at(c_loc(params%geometry3)), at(c_loc(params%geometry5))])
    base = transfer(c_loc(remap), base)
    call compare(4, [c_sizeof(remap), at(c_loc(remap%cells)), &
        at(c_loc(remap%grid_mode)), at(c_loc(remap%cell_count)), at(c_loc(remap%overload_count)), &
        at(c_loc(remap%aux_value))])
    base = transfer(c_loc(geometry), base)
    call compare(5, [c_sizeof(geometry), at(c_loc(geometry%radial_shift)), &
        at(c_loc(geometry%tangential_shift)), at(c_loc(geometry%offset_x)), at(c_loc(geometry%offset_y)), &
        at(c_loc(geometry%distance_offset)), at(c_loc(geometry%tilt_y)), at(c_loc(geometry%tilt_x)), &
        at(c_loc(geometry%rotation))])
    base = transfer(c_loc(frame), base)
    call compare(6, [c_sizeof(frame), at(c_loc(frame%family)), &
        at(c_loc(frame%width)), at(c_loc(frame%height)), at(c_loc(frame%compressed)), &
        at(c_loc(frame%overflow_threshold)), at(c_loc(frame%overflow_count)), at(c_loc(frame%info)), &
        at(c_loc(frame%reason)), at(c_loc(frame%warnings)), at(c_loc(frame%system_error)), &
        at(c_loc(frame%pixel_bytes))])
    call compare(7, [c_sizeof(header)])
    call compare(8, [integer(int64) :: PIXEL_OVERFLOW, PLATEIO_PATH_CAPACITY, &
        int(PLATEIO_UNSET), PLATEIO_VERSION_MAJOR, PLATEIO_VERSION_MINOR, PLATEIO_VERSION_PATCH, &
        PLATEIO_FAMILY_UNKNOWN, PLATEIO_FAMILY_TRA, PLATEIO_FAMILY_XAREA, PLATEIO_OK, PLATEIO_E_ARGUMENT, &
        PLATEIO_E_OPEN, PLATEIO_E_FORMAT, PLATEIO_E_NOT_CONTAINER, PLATEIO_E_TOC, PLATEIO_E_NO_HEADER, &
        PLATEIO_E_HEADER_SEEK, PLATEIO_E_NO_PIXELS, PLATEIO_E_PIXEL_SEEK, PLATEIO_E_CORRUPT, PLATEIO_E_SHORT, &
        PLATEIO_E_ROW_TABLE, PLATEIO_E_SIZE, PLATEIO_E_NO_MEMORY, PLATEIO_E_CAPACITY, PLATEIO_E_PATH, &
        PLATEIO_WARN_COUNTS, PLATEIO_KEEP_SATURATED, PLATEIO_HOST_SIND, PLATEIO_HOST_COSD, &
        PLATEIO_HOST_BINNING])
    call expect(plateio_host_routines() == 0, 'plateio_host_routines() is not 0 without host routines')
    do k = 1, size(cases)
        if (len_trim(cases(k)%bytes) > 0) then
            open (newunit=unit, file=cases(k)%path, access='stream', status='replace')
            write (unit) trim(cases(k)%bytes)
            close (unit)
        end if
        call plateio_load(cases(k)%path, pixels, frame, stat, message)
        call expect(stat == cases(k)%code .and. .not. allocated(pixels), &
            trim(cases(k)%path)//': '//message)
        call expect(len(message) > 0 .and. message == frame_reason(frame), &
            'errmsg is not the frame''s reason')
        call plateio_load_mask(cases(k)%path, mask, stat=mask_stat, errmsg=mask_message)
        call expect(mask_stat == stat .and. mask_message == message .and. .not. allocated(mask), &
            trim(cases(k)%path)//': the mask failed otherwise: '//mask_message)
    end do
    if (failures > 0) error stop 1

contains

    integer(int64) function at(p)
        type(c_ptr), intent(in) :: p
        at = int(transfer(p, base) - base, int64)
    end function at

    subroutine expect(condition, what)
        logical, intent(in) :: condition
        character(*), intent(in) :: what
        if (.not. condition) write (error_unit, '(a)') what
        if (.not. condition) failures = failures + 1
    end subroutine expect

    ! Table number `table` of layout.c against Fortran's values.
    subroutine compare(table, fortran)
        integer, intent(in) :: table
        integer(int64), intent(in) :: fortran(:)
        integer(c_int64_t), pointer :: c(:)
        integer(c_size_t) :: n
        call c_f_pointer(c_layout(int(table, c_int), n), c, [n])
        n = min(size(c), size(fortran))
        if (size(c) /= size(fortran) .or. any(c(:n) /= fortran(:n))) then
            write (error_unit, '(a,i0,a,*(1x,i0))') 'table ', table, ' in C:      ', c
            write (error_unit, '(a,i0,a,*(1x,i0))') 'table ', table, ' in Fortran:', fortran
            failures = failures + 1
        end if
    end subroutine compare

end program module_test
