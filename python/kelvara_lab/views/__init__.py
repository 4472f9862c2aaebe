"""What the records look like: matplotlib pictures (``plot``) and notebook tables
(``notebook``). Records know nothing of their views; importing this package registers each
view with ``kelvara_lab.display``, which the records ask."""

from kelvara_lab import display
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.fitting.ranked import RankedTable
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.validity.kk import KKResult
from kelvara_lab.validity.zhit import ZhitResult
from kelvara_lab.views import notebook, plot

display.register(FitReport, "html", notebook.fit_report_html)
display.register(FitReport, "plot", plot.fit)
display.register(KKResult, "html", notebook.kk_result_html)
display.register(DrtResult, "plot", plot.drt)
display.register(ZhitResult, "html", notebook.zhit_result_html)
display.register(ZhitResult, "plot", plot.zhit)
display.register(KKResult, "plot", plot.kk)
display.register(RankedTable, "html", notebook.ranked_html)
