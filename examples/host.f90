! An example host in Fortran: the tour of host.c through the plateio module, for the exposures named on
! the command line:
!   - every file is described (read_tra_header or read_xi_header) and loaded (read_tra or read_xi),
!     the C blocks viewed as Fortran arrays shaped (width, height) and released with C's free;
!   - a TRA file is also read with read_az_tra into a small target of the host's own: the row through
!     the beam of the 2 x 2 binned grid, drawn as a profile (the index map holds 0-based cell numbers);
!   - a point is corrected with correct_cry and brought back with anti_correct, then three at once;
!   - finally the idiomatic layer: every file loaded again into one array, reused, with its mask, and
!     a missing file's failure taken as stat and errmsg.
! The host supplies sind, cosd and binning itself, bind(C) under the C names and taking the angle by
! value, as the library calls them; it is linked with the library (-lplateio), so they are the ones the
! library uses, which plateio_host_routines() confirms (7). Its binning hands back a new block, which
! it allocates with C's malloc, because the library releases the block it is left with through free.
! Failures of the twelve functions are printed by the library on C's stdout, which is buffered apart
! from Fortran's output: in a pipe such messages may show up out of order.
module example_host_routines
    use, intrinsic :: iso_c_binding
    use plateio, only: PIXEL_OVERFLOW, plateio_c_malloc, plateio_c_free
    implicit none
    private
    public :: sind, cosd, binning

    ! How often the library called sind and cosd; main reads it.
    integer, public :: trig_calls = 0

contains

    ! The angle less the nearest multiple of 90 degrees, in radians, and that multiple's quarter turn
    ! (0 to 3): multiples of 90 then give exactly 0, 1 and -1.
    real(c_double) function reduced(degrees, quadrant)
        real(c_double), intent(in) :: degrees
        integer, intent(out) :: quadrant
        real(c_double), parameter :: pi = 3.14159265358979323846_c_double
        real(c_double) :: turns
        turns = anint(degrees / 90)
        quadrant = int(modulo(turns, 4.0_c_double))
        reduced = (degrees - 90 * turns) * (pi / 180)
    end function reduced

    real(c_double) function sind(degrees) bind(C, name='sind')
        real(c_double), value :: degrees
        integer :: quadrant
        real(c_double) :: r
        r = reduced(degrees, quadrant)
        trig_calls = trig_calls + 1
        select case (quadrant)
        case (0)
            sind = sin(r)
        case (1)
            sind = cos(r)
        case (2)
            sind = -sin(r)
        case default
            sind = -cos(r)
        end select
    end function sind

    real(c_double) function cosd(degrees) bind(C, name='cosd')
        real(c_double), value :: degrees
        integer :: quadrant
        real(c_double) :: r
        r = reduced(degrees, quadrant)
        trig_calls = trig_calls + 1
        select case (quadrant)
        case (0)
            cosd = cos(r)
        case (1)
            cosd = -sin(r)
        case (2)
            cosd = -cos(r)
        case default
            cosd = sin(r)
        end select
    end function cosd

    ! Sums each factor x factor block into one pixel of a new block from C's malloc, frees the old one
    ! and hands the new one back; a block holding an overflowed pixel stays overflowed, a sum above
    ! limit is stored as limit. Without memory it leaves the grid as it is.
    subroutine binning(grid, factor, width, height, limit) bind(C, name='binning')
        type(c_ptr), intent(inout) :: grid
        integer(c_int32_t), value :: factor, limit
        integer(c_int32_t), intent(inout) :: width, height
        integer(c_int32_t), pointer :: old(:, :), new(:, :)
        integer(c_int32_t), pointer :: block(:, :)
        type(c_ptr) :: fresh
        integer :: w, h, x, y
        if (factor < 1 .or. width < factor .or. height < factor) return
        w = width / factor
        h = height / factor
        fresh = plateio_c_malloc(int(w, c_size_t) * int(h, c_size_t) * c_sizeof(factor))
        if (.not. c_associated(fresh)) return
        call c_f_pointer(grid, old, [width, height])
        call c_f_pointer(fresh, new, [w, h])
        do y = 1, h
            do x = 1, w
                block => old((x - 1) * factor + 1:x * factor, (y - 1) * factor + 1:y * factor)
                if (any(block == PIXEL_OVERFLOW)) then
                    new(x, y) = PIXEL_OVERFLOW
                else
                    new(x, y) = int(min(sum(int(block, c_int64_t)), int(limit, c_int64_t)), c_int32_t)
                end if
            end do
        end do
        print '(2x,a,i0,a,i0,a,i0,a,i0,a,i0,a)', 'host binning: factor ', factor, ', ', width, ' x ', &
            height, ' -> ', w, ' x ', h, ' in a new block'
        call plateio_c_free(grid)
        grid = fresh
        width = w
        height = h
    end subroutine binning

end module example_host_routines

program example_host
    use, intrinsic :: iso_c_binding
    use, intrinsic :: iso_fortran_env, only: error_unit, int8, int32, int64, real64
    use plateio
    use example_host_routines
    implicit none
    character(:), allocatable :: path
    integer :: i, status
    type(plateio_frame) :: frame

    if (command_argument_count() < 1) then
        write (error_unit, '(a)') 'usage: plateio_example_fortran_host FILE...  (TRA or X-Area exposures)'
        error stop 2
    end if
    print '(a,a,a,i0,a)', 'plateio ', plateio_version_string(), ', host routines in use: ', &
        plateio_host_routines(), ' (1 sind + 2 cosd + 4 binning)'
    status = 0
    do i = 1, command_argument_count()
        path = argument(i)
        ! The family by content; a file the probe cannot tell goes to the TRA reader, which reports it.
        if (plateio_probe(path//c_null_char, frame) /= PLATEIO_OK) frame%family = PLATEIO_FAMILY_UNKNOWN
        if (frame%family == PLATEIO_FAMILY_XAREA) then
            call load_xarea(path, status)
        else
            call load_tra(path, status)
        end if
    end do
    call correct_points()
    call load_idiomatically(status)
    deallocate (path) ! a main program's variables outlive it: released here, a leak checker sees none
    if (status /= 0) error stop 1

contains

    function argument(k) result(text)
        integer, intent(in) :: k
        character(:), allocatable :: text
        integer :: n
        call get_command_argument(k, length=n)
        allocate (character(n) :: text)
        call get_command_argument(k, text)
    end function argument

    subroutine describe(info)
        type(image_info), intent(in) :: info
        print '(2x,a,6(1x,g0.6),a,3(1x,g0.6))', 'geometry          ', info%geometry(1:6), ' |', &
            info%geometry(7:9)
        print '(2x,a,i0,a,i0,a,i0,a,g0.6)', 'overload_count ', info%overload_count, ', setting ', &
            info%setting, ', overflow_threshold ', info%overflow_threshold, ', scale_value ', info%scale_value
    end subroutine describe

    subroutine summarise(pixels)
        integer(c_int32_t), intent(in) :: pixels(:, :)
        logical :: kept(size(pixels, 1), size(pixels, 2))
        kept = pixels /= PIXEL_OVERFLOW
        print '(2x,a,i0,a,i0,a,i0,a,i0,a,i0)', 'image              ', size(pixels, 1), ' x ', &
            size(pixels, 2), ', max ', maxval(pixels, kept), ', sum ', sum(int(pixels, int64), kept), &
            ', overflowed ', count(.not. kept)
    end subroutine summarise

    ! The row through the beam, one character per ten cells on a logarithmic scale from the faintest
    ! cell to the brightest; an overflowed cell shows as '!'.
    subroutine draw_profile(cells)
        integer(c_int32_t), intent(in) :: cells(:)
        character(*), parameter :: shades = ' .:-=+*#%@'
        character(len=(size(cells) + 9) / 10) :: line
        real(real64) :: faint, top, peak, level
        integer :: first, last, k
        logical :: lit(size(cells))
        lit = cells /= PIXEL_OVERFLOW .and. cells > 0
        faint = real(minval(cells, lit), real64)
        top = real(maxval(cells, lit), real64)
        if (.not. any(lit)) faint = 0
        do k = 1, len(line)
            first = 10 * (k - 1) + 1
            last = min(first + 9, size(cells))
            peak = max(faint, real(maxval(cells(first:last), lit(first:last)), real64))
            level = 0
            if (top > faint .and. faint > 0) level = log(peak / faint) / log(top / faint)
            line(k:k) = shades(nint(level * 9) + 1:nint(level * 9) + 1)
            if (any(cells(first:last) == PIXEL_OVERFLOW)) line(k:k) = '!'
        end do
        print '(2x,a,a,a)', 'profile            |', line, '|'
    end subroutine draw_profile

    subroutine remap_tra(path, status)
        character(*), intent(in) :: path
        integer, intent(inout) :: status
        integer, parameter :: binned = 600
        integer(c_int32_t), allocatable, target :: map(:), cells(:)
        type(remap_target) :: target
        integer :: k
        ! Map entry i (0-based, row-major over the binned grid) names a 0-based cell; -1 drops the pixel.
        allocate (map(0:binned * binned - 1), cells(binned))
        map = -1
        map(binned / 2 * binned:(binned / 2 + 1) * binned - 1) = [(k, k = 0, binned - 1)]
        cells = 0
        target = remap_target(cells=c_loc(cells), grid_mode=1200, cell_count=binned)
        print '(3a,i0,a)', 'read_az_tra ', path, ' (binned, the row through the beam into ', binned, ' cells)'
        if (read_az_tra(path//c_null_char, target, c_loc(map)) /= 1) then
            status = 1
            return
        end if
        print '(2x,a,i0)', 'overload_count     ', target%overload_count
        call draw_profile(cells)
    end subroutine remap_tra

    subroutine load_tra(path, status)
        character(*), intent(in) :: path
        integer, intent(inout) :: status
        type(image_info) :: info
        type(c_ptr) :: block
        integer(c_int32_t) :: width, height
        integer(c_int32_t), pointer :: pixels(:, :)
        print '(2a)', 'read_tra ', path
        block = c_null_ptr
        width = 0
        height = 0
        if (read_tra_header(path//c_null_char, info) /= 1) then
            status = 1
            return
        end if
        call describe(info)
        if (read_tra(path//c_null_char, block, width, height) /= 1) then
            status = 1
            return
        end if
        call c_f_pointer(block, pixels, [width, height])
        call summarise(pixels)
        call plateio_c_free(block) ! the image is the host's; the library allocated it with malloc
        call remap_tra(path, status)
    end subroutine load_tra

    subroutine load_xarea(path, status)
        character(*), intent(in) :: path
        integer, intent(inout) :: status
        type(image_info) :: info
        type(pixel_image) :: image
        type(reduction_params) :: params ! geometry2 starts unset: the library takes it from the file
        integer(c_int32_t), pointer :: pixels(:, :)
        print '(2a)', 'read_xi ', path
        if (read_xi_header(path//c_null_char, info) /= 1) then
            status = 1
            return
        end if
        call describe(info)
        if (read_xi(path//c_null_char, image, params) /= 1) then
            status = 1
            return
        end if
        call c_f_pointer(image%pixels, pixels, [image%width, image%height])
        call summarise(pixels)
        print '(2x,a,i0,a,i0)', 'overflow_count     ', image%overflow_count, ' above threshold ', &
            image%overflow_threshold
        call plateio_c_free(image%pixels)
    end subroutine load_xarea

    subroutine correct_points()
        type(geometry_params) :: params
        real(c_double) :: point(2), xy(2, 3)
        integer :: calls, k
        params = geometry_params(rotation=30.0_real64, radial_shift=0.3_real64, tangential_shift=0.5_real64)
        point = [3.0_c_double, 4.0_c_double]
        calls = trig_calls
        print '(a)', 'correct_cry (3, 4), distance 200, rotation 30, radial shift 0.3, tangential shift 0.5'
        call correct_cry(point, params, 200.0_c_double)
        print '(2x,a,g0.12,a,g0.12,a)', 'corrected          (', point(1), ', ', point(2), ')'
        call anti_correct(point, params, 200.0_c_double)
        print '(2x,a,g0.12,a,g0.12,a)', 'anti_correct       (', point(1), ', ', point(2), ')'
        print '(2x,a,i0,a)', "the host's sind and cosd were called ", trig_calls - calls, ' times'
        ! Three points in one call, xy(:, i) = (x, y); sind and cosd are asked once per angle.
        xy = reshape([3.0_c_double, 4.0_c_double, 0.0_c_double, 5.0_c_double, -2.0_c_double, 1.0_c_double], &
                     [2, 3])
        calls = trig_calls
        call plateio_correct(xy, params, 200.0_real64)
        print '(a,3(a,g0.12,a,g0.12,a))', 'plateio_correct    ', &
            ('(', xy(1, k), ', ', xy(2, k), ') ', k = 1, 3)
        print '(2x,a,i0,a)', "the host's sind and cosd were called ", trig_calls - calls, ' times'
    end subroutine correct_points

    ! The idiomatic layer: no C pointer, nothing printed by the library. One array serves the series; it
    ! is reallocated only when a file's shape differs from the one before.
    subroutine load_idiomatically(status)
        integer, intent(inout) :: status
        integer(int32), allocatable :: pixels(:, :)
        integer(int8), allocatable :: mask(:, :)
        character(:), allocatable :: message
        integer :: stat, k
        do k = 1, command_argument_count()
            path = argument(k)
            call plateio_load(path, pixels, frame, stat, message)
            if (stat /= PLATEIO_OK) then
                print '(4a)', 'plateio_load ', path, ': ', message
                status = 1
                cycle
            end if
            call plateio_load_mask(path, mask)
            print '(3a,i0,a,i0,a,i0,a,i0)', 'plateio_load ', frame_path(frame), ': ', &
                size(pixels, 1), ' x ', size(pixels, 2), ', overflowed ', frame%overflow_count, &
                ', masked ', count(mask == 1)
        end do
        call plateio_load('no/such/exposure.tra', pixels, stat=stat, errmsg=message)
        print '(a,i0,2a)', 'plateio_load no/such/exposure.tra: stat ', stat, ', errmsg ', message
    end subroutine load_idiomatically

end program example_host
