-- Mandelbrot set: count the points of a 160x160 grid that stay bounded for 100 iterations.
local size = 160
local inside = 0
local total_iterations = 0
for py = 0, size - 1 do
  local ci = py * 2.0 / size - 1.0
  for px = 0, size - 1 do
    local cr = px * 3.0 / size - 2.0
    local zr, zi = 0.0, 0.0
    local i = 0
    while i < 100 and zr * zr + zi * zi <= 4.0 do
      local t = zr * zr - zi * zi + cr
      zi = 2.0 * zr * zi + ci
      zr = t
      i = i + 1
    end
    total_iterations = total_iterations + i
    if i == 100 then inside = inside + 1 end
  end
end
print(inside .. " " .. total_iterations)
