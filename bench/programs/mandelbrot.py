# Mandelbrot set: count the points of a 160x160 grid that stay bounded for 100 iterations.
size = 160
inside = 0
total_iterations = 0
for py in range(size):
    ci = py * 2.0 / size - 1.0
    for px in range(size):
        cr = px * 3.0 / size - 2.0
        zr = 0.0
        zi = 0.0
        i = 0
        while i < 100 and zr * zr + zi * zi <= 4.0:
            t = zr * zr - zi * zi + cr
            zi = 2.0 * zr * zi + ci
            zr = t
            i += 1
        total_iterations += i
        if i == 100:
            inside += 1
print(inside, total_iterations)
